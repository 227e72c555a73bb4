# `make package`: on Linux Debian packages split as Debian splits a library, each depending on
# Debian's own packages by what its binaries link and on the runtime package of the very same
# version; elsewhere one ZIP archive of the same files.
set(CPACK_PACKAGE_CONTACT "RemotoPlugin2 developers" CACHE STRING "Maintainer of the packages")
set(CPACK_COMPONENTS_ALL runtime dev tools script script_dev qml)
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
else()
    set(CPACK_GENERATOR ZIP)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' own libraries are found in the build and left to their dependency on the
# runtime package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

# The module's name already carries its major version, and the plug-in's path has none: two
# runtime packages of different versions could not be installed side by side anyway.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libremotoplugin2)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Qt 5 module for working with remote QObjects
The RemotoPlugin2 plug-in, which hosts load from Qt's plug-in path (remoto/),
the host layer qt5qvelmorhlp1, and the connection and service libraries.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libremotoplugin2-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qtbase5-dev (>= 5.15)")
set(CPACK_DEBIAN_DEV_DESCRIPTION "Qt 5 module for working with remote QObjects - development files
Headers, CMake package (find_package(RemotoPlugin2)) and pkg-config files
for building hosts and services against the RemotoPlugin2 libraries.")

# The script library in packages of its own, so that a host that never runs scripts does not
# pull Qt QML.
set(CPACK_DEBIAN_SCRIPT_PACKAGE_NAME libremotoplugin2-script)
set(CPACK_DEBIAN_SCRIPT_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_SCRIPT_DEPENDS runtime)
set(CPACK_DEBIAN_SCRIPT_DESCRIPTION "Qt 5 module for working with remote QObjects - scripts
The remotoscript library, which gives the scripts of a host's QJSEngine the
remote objects of the RemotoPlugin2 module.")

set(CPACK_DEBIAN_SCRIPT_DEV_PACKAGE_NAME libremotoplugin2-script-dev)
set(CPACK_DEBIAN_SCRIPT_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_SCRIPT_DEV_DEPENDS runtime dev script)
set(CPACK_DEBIAN_SCRIPT_DEV_PACKAGE_DEPENDS "qtdeclarative5-dev (>= 5.15)")
set(CPACK_DEBIAN_SCRIPT_DEV_DESCRIPTION "Qt 5 module for working with remote QObjects - script development files
Header, CMake package component (find_package(RemotoPlugin2 COMPONENTS Script))
and pkg-config file for building hosts against the remotoscript library.")

# The QML module, named as Debian names QML modules, for Qt Quick applications; it brings Qt QML
# but no library of ours beyond the runtime package's.
set(CPACK_DEBIAN_QML_PACKAGE_NAME qml-module-remoto)
set(CPACK_DEBIAN_QML_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_QML_DEPENDS runtime)
set(CPACK_DEBIAN_QML_DESCRIPTION "Qt 5 module for working with remote QObjects - QML module
The QML module Remoto 2.0 (import Remoto 2.0): RemotoLink, a link to a
service with its objects as a model, and RemoteObject, with calls,
subscriptions to remote signals and errors thrown in JavaScript.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME remotoplugin2-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# remotoctl's completion file is read only by bash-completion, which a minimal Debian lacks.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS bash-completion)
# remotoctl needs the script package only while it runs scripts itself; otherwise the package
# is suggested, for `remotoctl script`.
get_target_property(remotoctl_libraries remotoctl LINK_LIBRARIES)
if(remotoscript IN_LIST remotoctl_libraries)
    set(CPACK_COMPONENT_TOOLS_DEPENDS runtime script)
else()
    set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS libremotoplugin2-script)
endif()
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Qt 5 module for working with remote QObjects - tools
remotoctl lists, calls and watches remote objects through the RemotoPlugin2
module; remoto-demo-service publishes small objects to try it on.")

include(CPack)
