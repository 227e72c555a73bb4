# Where `cmake --install` puts things, relative to the prefix so that an installed or unpacked
# tree may move. With the prefix /usr on Debian, the libraries go to lib/<multiarch>.
include(GNUInstallDirs)

# Qt 5's plug-in folder, as KDE's ECM names it: with the prefix /usr on Debian it is the one Qt
# itself searches, and hosts find the module in its category folder there.
# Empty follows the library folder, which GNUInstallDirs works out again when the prefix
# changes; a default cached from the first prefix would keep a folder that no longer fits.
set(REMOTO_INSTALL_QTPLUGINDIR "" CACHE PATH
    "Qt 5 plug-in folder, relative to the install prefix (default: <libdir>/qt5/plugins)")
set(remoto_install_qtplugindir "${REMOTO_INSTALL_QTPLUGINDIR}")
if(NOT remoto_install_qtplugindir)
    set(remoto_install_qtplugindir "${CMAKE_INSTALL_LIBDIR}/qt5/plugins")
endif()
set(remoto_install_plugindir "${remoto_install_qtplugindir}/remoto")
# Qt 5's QML folder, found the same way: QML modules go there by their name.
set(REMOTO_INSTALL_QMLDIR "" CACHE PATH
    "Qt 5 QML folder, relative to the install prefix (default: <libdir>/qt5/qml)")
set(remoto_install_qtqmldir "${REMOTO_INSTALL_QMLDIR}")
if(NOT remoto_install_qtqmldir)
    set(remoto_install_qtqmldir "${CMAKE_INSTALL_LIBDIR}/qt5/qml")
endif()
set(remoto_install_includedir "${CMAKE_INSTALL_INCLUDEDIR}/RemotoPlugin2")

# How installed files find each other: programs the libraries and the plug-in, the plug-in the
# library it links against, pkg-config files the prefix.
set(remoto_full_plugindir "${CMAKE_INSTALL_PREFIX}/${remoto_install_plugindir}")
file(RELATIVE_PATH remoto_bin_to_libdir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH remoto_bin_to_plugindir ${CMAKE_INSTALL_FULL_BINDIR} ${remoto_full_plugindir})
file(RELATIVE_PATH remoto_plugindir_to_libdir ${remoto_full_plugindir} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH remoto_pkgconfigdir_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
    ${CMAKE_INSTALL_PREFIX})
# A path up to an ancestor comes with a trailing slash.
foreach(path remoto_plugindir_to_libdir remoto_pkgconfigdir_to_prefix)
    string(REGEX REPLACE "/$" "" ${path} "${${path}}")
endforeach()
