#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as an outside project would: each
# installed header compiles on its own with pkg-config's flags, a program links from those flags
# alone, examples/ builds through find_package() and its host tours the installed demo service,
# the installed remotoctl finds the installed plug-in with no option: by its own location,
# and moved elsewhere through Qt's plug-in path; and the QML example loads the installed QML
# module through QML2_IMPORT_PATH alone.
# Arguments: CMAKE BUILD SOURCE CXX LIBDIR QTPLUGINDIR VERSION QTQMLDIR (LIBDIR, QTPLUGINDIR and
# QTQMLDIR relative to the prefix, VERSION the project's)
cmake=$1 build=$2 source=$3 cxx=$4 libdir=$5 qtplugindir=$6 version=$7 qtqmldir=$8
. "$(dirname "$0")/common.sh"

prefix=$work/prefix
# Stripped, so that debug information naming the build cannot hide a leaked path.
"$cmake" --install "$build" --prefix "$prefix" --strip >/dev/null
if grep -rlF -- "$build" "$prefix"; then
    fail "installed files name the build folder"
fi
start_service "$prefix/bin/remoto-demo-service"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
read -ra flags <<<"$(pkg-config --cflags --libs remotoconnection remotoservice remotoscript)"
[ "$(pkg-config --modversion remotoconnection)" = "$version" ] \
    || fail "pkg-config gives remotoconnection a version other than $version"
# Qt built with reduced relocations asks its users for position-independent code.
for header in "$prefix"/include/RemotoPlugin2/*.h; do
    echo "#include <${header##*/}>" \
        | "$cxx" -std=c++17 -fPIC -fsyntax-only -x c++ - "${flags[@]}" \
        || fail "${header##*/} does not compile on its own"
done
"$cxx" -std=c++17 -fPIC "$(dirname "$0")/pkgconfig_probe.cpp" -o "$work/probe" "${flags[@]}"
LD_LIBRARY_PATH=$prefix/$libdir "$work/probe" || fail "the pkg-config probe failed"

list_objects "$prefix/bin/remotoctl" | grep '^calculator (Calculator)$' >/dev/null \
    || fail "the installed remotoctl did not list the service's objects"
mkdir "$work/elsewhere"
cp "$prefix/bin/remotoctl" "$work/elsewhere/"
LD_LIBRARY_PATH=$prefix/$libdir QT_PLUGIN_PATH=$prefix/$qtplugindir \
    list_objects "$work/elsewhere/remotoctl" | grep '^calculator (Calculator)$' >/dev/null \
    || fail "a remotoctl away from the tree did not find the plug-in through QT_PLUGIN_PATH"

"$cmake" -S "$source/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
"$cmake" --build "$work/examples" -j 2 >/dev/null
QT_PLUGIN_PATH=$prefix/$qtplugindir "$work/examples/remoto-example-host" \
    --connect "$service_address" || fail "the example host failed against the installed tree"
grab_qml_example "$work/examples/remoto-qml-example" "$prefix/$qtqmldir" \
    || fail "the QML example did not load the installed QML module through QML2_IMPORT_PATH"
