#!/usr/bin/env bash
# Makes the Debian packages from the build as `make package` does and checks what apt-get would
# face: each depends only on packages this Debian knows and on the runtime package of its very
# own version, and the split is Debian's, with Qt QML only in the script and QML module packages.
# Then the runtime and tools packages and what the tools depend on of ours, unpacked into a
# throwaway root, work: remotoctl with no option finds the plug-in by its own location and lists
# the objects of the unpacked demo service; and, with the QML module's package unpacked too, the
# build's QML example loads the unpacked QML module through QML2_IMPORT_PATH alone.
# Arguments: CPACK BUILD
cpack=$1 build=$2
. "$(dirname "$0")/common.sh"

# cpack first runs the build's preinstall step, which with Makefiles builds everything; with a
# generator that has none it packages the build as it stands, as `cmake --install` installs it.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages" \
    -D CPACK_CMAKE_GENERATOR=Ninja >"$work/cpack.log" \
    || { cat "$work/cpack.log"; fail "cpack failed"; }

runtime=libremotoplugin2
ours=("$runtime" libremotoplugin2-dev remotoplugin2-tools libremotoplugin2-script
    libremotoplugin2-script-dev qml-module-remoto)
deb() { echo "$work/packages/$1"_*.deb; }
version=$(dpkg-deb -f "$(deb "$runtime")" Version)

for package in "${ours[@]}"; do
    depends=$(dpkg-deb -f "$(deb "$package")" Depends)
    echo "$package: $depends"
    IFS=',|' read -ra alternatives <<<"$depends"
    for alternative in "${alternatives[@]}"; do
        read -r name _ <<<"$alternative"
        [[ " ${ours[*]} " == *" $name "* ]] && continue
        dpkg-query -W "$name" >/dev/null 2>&1 || fail "$package depends on $name, unknown to dpkg"
    done
    if [ "$package" != "$runtime" ] && [[ ", $depends," != *", $runtime (= $version),"* ]]; then
        fail "$package does not depend on $runtime (= $version)"
    fi
done
[[ $(dpkg-deb -f "$(deb "$runtime")" Depends) == *libqt5network5* ]] \
    || fail "$runtime does not depend on Qt's libraries: was dpkg-shlibdeps missing?"
[[ $(dpkg-deb -f "$(deb "$runtime")" Depends) != *qml* ]] || fail "$runtime pulls Qt QML"

contents() { dpkg-deb -c "$(deb "$1")" | awk '{ print $6 }'; }
if contents "$runtime" | grep -E '/include/|/cmake/|\.pc$|\.so$' | grep -v '/plugins/remoto/'; then
    fail "$runtime holds development files"
fi
dev_files=(include/RemotoPlugin2/socketconnection.h
    'lib/(.*/)?cmake/RemotoPlugin2/RemotoPlugin2Config\.cmake'
    'lib/(.*/)?pkgconfig/remotoconnection\.pc' 'lib/(.*/)?libremotoconnection\.so')
for file in "${dev_files[@]}"; do
    contents libremotoplugin2-dev | grep -xE "\./usr/$file" >/dev/null \
        || fail "libremotoplugin2-dev lacks $file"
done

for file in qmldir plugins.qmltypes RemoteObject.qml libremotoqml.so; do
    contents qml-module-remoto | grep -xE "\./usr/lib/(.*/)?qt5/qml/Remoto/$file" >/dev/null \
        || fail "qml-module-remoto lacks $file"
done
[[ $(dpkg-deb -f "$(deb qml-module-remoto)" Depends) == *libqt5qml5* ]] \
    || fail "qml-module-remoto does not depend on Qt QML"

contents remotoplugin2-tools | grep -x '\./usr/share/bash-completion/completions/remotoctl' >/dev/null \
    || fail "remotoplugin2-tools lacks remotoctl's bash completion"
[ "$(dpkg-deb -f "$(deb remotoplugin2-tools)" Recommends)" = bash-completion ] \
    || fail "remotoplugin2-tools does not recommend bash-completion"

root=$work/root
tools_depends=$(dpkg-deb -f "$(deb remotoplugin2-tools)" Depends)
for package in "${ours[@]}"; do
    if [ "$package" = remotoplugin2-tools ] || [[ ", $tools_depends" == *", $package ("* ]]; then
        dpkg -x "$(deb "$package")" "$root"
    fi
done
start_service "$root/usr/bin/remoto-demo-service"
list_objects "$root/usr/bin/remotoctl" | grep '^calculator (Calculator)$' >/dev/null \
    || fail "the unpacked remotoctl did not list the unpacked service's objects"
dpkg -x "$(deb qml-module-remoto)" "$root"
grab_qml_example "$build/remoto-qml-example" "$(echo "$root"/usr/lib/*/qt5/qml)" \
    || fail "the build's QML example did not load the unpacked QML module"
