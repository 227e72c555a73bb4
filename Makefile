# The newcomer's entry. `make test` builds and runs everything twice: a plain build and one
# with AddressSanitizer and UndefinedBehaviorSanitizer; then it writes the API reference.

JOBS         ?= $(shell nproc)
BUILD        ?= build
SAN_BUILD    ?= build-asan
FUZZ_BUILD   ?= build-fuzz
BENCH_BUILD  ?= build-bench
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 300

# dpkg-dev and file for the Debian packages' dependencies, pkgconf for the installed-tree test,
# Qt QML for the script library and the QML module, Qt Quick's QML modules and QtTest's for the
# QML example and tests, qmlplugindump for the QML module's type information, python3 for the
# wire-protocol client test, abigail-tools for the ABI check, doxygen for the API reference.
PACKAGES      := cmake make g++ qtbase5-dev qtbase5-dev-tools libqt5test5 libqt5network5 \
                 dpkg-dev file pkgconf qtdeclarative5-dev python3 abigail-tools doxygen openssl \
                 qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qttest \
                 qtdeclarative5-dev-tools
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
# Qt Remote Objects only for the benchmark that sets the module beside it.
BENCH_PACKAGES := libqt5remoteobjects5-dev

CTEST := ctest --output-on-failure --no-tests=error -j $(JOBS)

export ASAN_OPTIONS  := detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export LSAN_OPTIONS  := suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS := print_stacktrace=1:halt_on_error=1

.PHONY: all deps build check check-asan test docs package abi-baseline fuzz bench soak demo clean

all: build

deps:
	@scripts/ensure-packages.sh $(PACKAGES)

# Laid out for the prefix /usr, as Debian builds its packages: libraries and Qt plug-ins in
# lib/<multiarch>. `cmake --install $(BUILD) --prefix DIR` puts the same tree under DIR.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD) -j $(JOBS)

# The plain run alone, for daily use.
check: build
	cd $(BUILD) && $(CTEST)

check-asan: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DREMOTO_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && $(CTEST)

test: check check-asan docs

# The reference of the installed headers, in $(BUILD)/docs/html; any Doxygen warning fails it.
docs: build
	cmake --build $(BUILD) --target docs

# The Debian packages of the plain build, in $(BUILD)/.
package: build
	cmake --build $(BUILD) --target package

# Writes the ABI baselines in abi/ anew from the plain build (docs/abi.md).
abi-baseline: build
	cmake --build $(BUILD) --target abi-baseline

fuzz: deps
	@scripts/ensure-packages.sh $(FUZZ_PACKAGES)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREMOTO_FUZZ=ON \
	    -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Starts the demo service on a private local socket and tours it with remotoctl, then shows it
# in the QML example's window, headless, saved to $(BUILD)/qml-example.png.
demo: build
	scripts/demo.sh $(BUILD)

bench: deps
	@scripts/ensure-packages.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DREMOTO_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/remoto_bench
	$(BENCH_BUILD)/remoto_qtro_bench

# Hosts coming and going on one service for SOAK_SECONDS; fails when the service does not give
# back memory, answers or descriptors.
soak: deps
	@scripts/ensure-packages.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DREMOTO_BENCH=ON
	cmake --build $(BENCH_BUILD) --target remoto_soak remoto_bench_service -j $(JOBS)
	SOAK_SECONDS=$(SOAK_SECONDS) $(BENCH_BUILD)/remoto_soak

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
