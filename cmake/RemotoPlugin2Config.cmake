# RemotoPlugin2::Host (qt5qvelmorhlp1), RemotoPlugin2::Connection (remotoconnection) and
# RemotoPlugin2::Service (remotoservice) to link against; RemotoPlugin2::Plugin, the module
# hosts load at run time, and its file and folder as RemotoPlugin2_PLUGIN and
# RemotoPlugin2_PLUGIN_DIR.
include(CMakeFindDependencyMacro)
find_dependency(Qt5 5.15 COMPONENTS Core Network)

include(${CMAKE_CURRENT_LIST_DIR}/RemotoPlugin2Targets.cmake)

# RemotoPlugin2::Script (remotoscript), which gives a host's QJSEngine the remote objects, only
# when asked for (COMPONENTS Script): it needs Qt QML, which the rest does without, and is
# installed apart (the Debian package libremotoplugin2-script-dev).
set(_remoto_script_targets ${CMAKE_CURRENT_LIST_DIR}/RemotoPlugin2ScriptTargets.cmake)
foreach(component IN LISTS RemotoPlugin2_FIND_COMPONENTS)
    if(component STREQUAL "Script" AND EXISTS ${_remoto_script_targets})
        find_dependency(Qt5 5.15 COMPONENTS Qml)
        include(${_remoto_script_targets})
        set(RemotoPlugin2_Script_FOUND TRUE)
    elseif(RemotoPlugin2_FIND_REQUIRED_${component})
        set(RemotoPlugin2_FOUND FALSE)
        set(RemotoPlugin2_NOT_FOUND_MESSAGE "RemotoPlugin2 has no component ${component} installed")
    endif()
endforeach()

# The plug-in's file is named alike in every configuration, so any configuration's location is
# the one.
get_target_property(RemotoPlugin2_PLUGIN RemotoPlugin2::Plugin LOCATION)
get_filename_component(RemotoPlugin2_PLUGIN_DIR ${RemotoPlugin2_PLUGIN} DIRECTORY)
