# RemotoPlugin2::Host (qt5qvelmorhlp1), RemotoPlugin2::Connection (remotoconnection) and
# RemotoPlugin2::Service (remotoservice) to link against; RemotoPlugin2::Plugin, the module
# hosts load at run time, and its file and folder as RemotoPlugin2_PLUGIN and
# RemotoPlugin2_PLUGIN_DIR.
include(CMakeFindDependencyMacro)
find_dependency(Qt5 5.15 COMPONENTS Core Network)

include(${CMAKE_CURRENT_LIST_DIR}/RemotoPlugin2Targets.cmake)

# The plug-in's file is named alike in every configuration, so any configuration's location is
# the one.
get_target_property(RemotoPlugin2_PLUGIN RemotoPlugin2::Plugin LOCATION)
get_filename_component(RemotoPlugin2_PLUGIN_DIR ${RemotoPlugin2_PLUGIN} DIRECTORY)
