# `cmake --install`: the libraries, the plug-in in its category folder of Qt's plug-in path,
# the public headers in one folder, the programs, and what find_package() and pkg-config need
# to build against them. Runtime files, files to build against and programs go to the
# components the Debian packages are made of (see RemotoPackaging.cmake); the script library,
# which brings Qt QML, has components of its own; so has the QML module, which qml/ installs.

# Relative to the file itself, wherever the tree lands; only ELF loaders know $ORIGIN.
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    set_target_properties(remotoctl remoto-demo-service PROPERTIES
        INSTALL_RPATH "$ORIGIN/${remoto_bin_to_libdir}")
    set_target_properties(remotoconnection remotoservice PROPERTIES INSTALL_RPATH "$ORIGIN")
    set_target_properties(RemotoPlugin2 PROPERTIES
        INSTALL_RPATH "$ORIGIN/${remoto_plugindir_to_libdir}")
endif()

install(TARGETS qt5qvelmorhlp1 remotoconnection remotoservice EXPORT RemotoPlugin2Targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    INCLUDES DESTINATION ${remoto_install_includedir})
# Apart, since it brings Qt QML: find_package(RemotoPlugin2 COMPONENTS Script) loads it.
install(TARGETS remotoscript EXPORT RemotoPlugin2ScriptTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT script
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT script NAMELINK_COMPONENT script_dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT script_dev
    INCLUDES DESTINATION ${remoto_install_includedir})
install(TARGETS RemotoPlugin2 EXPORT RemotoPlugin2Targets
    LIBRARY DESTINATION ${remoto_install_plugindir} COMPONENT runtime)
install(TARGETS remotoctl remoto-demo-service
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# A script runner of its own goes with the library it needs, so that the tools do without Qt QML.
if(TARGET remotoctl-script)
    if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
        set_target_properties(remotoctl-script PROPERTIES
            INSTALL_RPATH "$ORIGIN/${remoto_bin_to_libdir}")
    endif()
    install(TARGETS remotoctl-script RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT script)
endif()

# What hosts and services include, and what those headers include in turn; all in one folder,
# where their quoted includes find each other.
set(remoto_public_headers
    host/connectionstate.h host/hostexport.h host/message.h host/notification.h host/request.h
    host/tarn.h
    connection/socketconnection.h connection/connectionexport.h
    service/remotoservice.h service/serviceexport.h)
set(remoto_script_headers script/remotoscript.h script/remotoscriptexport.h)
install(FILES ${remoto_public_headers}
    DESTINATION ${remoto_install_includedir} COMPONENT dev)
install(FILES ${remoto_script_headers}
    DESTINATION ${remoto_install_includedir} COMPONENT script_dev)

# find_package(RemotoPlugin2): the libraries as imported targets, the plug-in as one too, so
# that $<TARGET_FILE:RemotoPlugin2::Plugin> names it as in this build.
set(remoto_install_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/RemotoPlugin2)
install(EXPORT RemotoPlugin2Targets NAMESPACE RemotoPlugin2::
    DESTINATION ${remoto_install_cmakedir} COMPONENT dev)
install(EXPORT RemotoPlugin2ScriptTargets NAMESPACE RemotoPlugin2::
    DESTINATION ${remoto_install_cmakedir} COMPONENT script_dev)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/RemotoPlugin2ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/RemotoPlugin2Config.cmake
    ${PROJECT_BINARY_DIR}/cmake/RemotoPlugin2ConfigVersion.cmake
    DESTINATION ${remoto_install_cmakedir} COMPONENT dev)

# One pkg-config file per library, finding the prefix from its own folder, of the version its
# file carries.
function(remoto_pkgconfig library component description requires requires_private)
    set(pc_library ${library})
    get_target_property(pc_version ${library} VERSION)
    set(pc_description ${description})
    set(pc_requires ${requires})
    set(pc_requires_private ${requires_private})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/remoto.pc.in
        ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${component})
endfunction()
remoto_pkgconfig(qt5qvelmorhlp1 dev "RemotoPlugin2 host layer: messages, requests, connection state"
    "Qt5Core >= 5.15" "")
remoto_pkgconfig(remotoconnection dev "RemotoPlugin2 host connection over a local or TCP socket"
    "qt5qvelmorhlp1, Qt5Core >= 5.15, Qt5Network >= 5.15" "")
remoto_pkgconfig(remotoservice dev "RemotoPlugin2 service publishing QObjects to hosts"
    "Qt5Core >= 5.15" "Qt5Network >= 5.15")
remoto_pkgconfig(remotoscript script_dev "RemotoPlugin2 remote objects for the scripts of a QJSEngine"
    "Qt5Core >= 5.15, Qt5Qml >= 5.15" "")
