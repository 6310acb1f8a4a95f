# Set-up, build and test in one place. Every target first installs the Debian
# packages that are missing (as root; otherwise it prints the apt-get line).

BUILD   ?= build
ASAN    ?= build-asan
FUZZ    ?= build-fuzz
FUZZ_CXX     ?= clang++
FUZZ_SECONDS ?= 60
FUZZ_TARGETS  = fuzz_script_loader fuzz_report_descriptor fuzz_command_chunks
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
# What the packaging targets build once and reuse, outside the tree: the
# user's cache folder, never a folder beside or inside the checkout.
CACHE_DIR ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/vortal9-setup
PACKAGES = qt6-base-dev libhidapi-dev libgtest-dev xvfb xauth xdotool imagemagick \
           fonts-dejavu-core fonts-liberation build-essential cmake pkg-config \
           libevdev-dev libxkbcommon-dev libxkbcommon-x11-dev libxcb1-dev libudev-dev \
           libwayland-dev bash-completion

.PHONY: all deps configure build run demo test test-asan fuzz lint bench clean install \
        windows windows-test windows-check deb deb-test wayland-test ansible-test kernel-test windows-kernel-test

all: build

# $(call install-missing,PACKAGE LIST)
define install-missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing: $$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	  else \
	    echo "Missing packages. Run as root:"; \
	    echo "  apt-get update && apt-get install -y --no-install-recommends $$missing"; \
	    exit 1; \
	  fi; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/bin/vortal9-setup

demo: build
	$(BUILD)/bin/vortal9-setup-demo

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DVORTAL9_SANITIZE=ON
	cmake --build $(ASAN) -j$(JOBS)
	cd $(ASAN) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j$(JOBS)

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS from a
# scratch copy of its seed corpus (new inputs never land in fuzz/corpus).
# Crashing inputs are kept in $(FUZZ)/artifacts/<target>/; any crash fails.
fuzz: deps
	@command -v $(FUZZ_CXX) >/dev/null || { echo "$(FUZZ_CXX) not found: apt-get install clang"; exit 1; }
	cmake -S . -B $(FUZZ) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORTAL9_FUZZ=ON -DVORTAL9_BUILD_TESTS=OFF
	cmake --build $(FUZZ) -j$(JOBS) --target $(FUZZ_TARGETS)
	@failed=; for t in $(FUZZ_TARGETS); do \
	  rm -rf $(FUZZ)/corpus/$$t $(FUZZ)/artifacts/$$t; \
	  mkdir -p $(FUZZ)/corpus/$$t $(FUZZ)/artifacts/$$t; \
	  cp fuzz/corpus/$$t/* $(FUZZ)/corpus/$$t/; \
	  dict=; if [ -f fuzz/$$t.dict ]; then dict=-dict=fuzz/$$t.dict; fi; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  UBSAN_OPTIONS=print_stacktrace=1 $(FUZZ)/bin/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    $$dict -print_final_stats=1 -artifact_prefix=$(FUZZ)/artifacts/$$t/ $(FUZZ)/corpus/$$t \
	    > $(FUZZ)/$$t.log 2>&1 || failed="$$failed $$t"; \
	  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added)' $(FUZZ)/$$t.log \
	    | sed 's/^/   /'; \
	done; \
	if [ -n "$$failed" ]; then \
	  for t in $$failed; do echo "== $$t FAILED (log: $(FUZZ)/$$t.log, input in $(FUZZ)/artifacts/$$t/)"; \
	    grep -E 'ERROR|invariant failed|runtime error' $(FUZZ)/$$t.log | head -5; done; \
	  exit 1; \
	fi

# Start-up and peak memory against a bare Qt window (under a real X server,
# Xvfb), the time of a layout change, a playback against the protocol's
# minimum with its CPU time, and one script applied with --expect to 1, 8, 32
# and 128 readers at once.
bench: build
	xvfb-run -a -s "-screen 0 1024x768x24" $(BUILD)/bin/bench_startup $(BUILD)/bin/bench_window 15
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/bench_layout
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/bench_playback
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/bench_sessions

# clang-tidy and cppcheck over the program's own sources, with the
# configurations in .clang-tidy and .cppcheck-suppressions.
LINT_SOURCES = src emulator tools
lint: configure
	@for p in clang-tidy cppcheck; do command -v $$p >/dev/null || \
	  { [ "$$(id -u)" = 0 ] && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang-tidy cppcheck; } ; done
	cmake --build $(BUILD) --target vortal9_ui_autogen vortal9_emulator_autogen
	run-clang-tidy -quiet -p $(BUILD) '$(CURDIR)/(src|emulator|tools)/.*\.cpp$$'
	cppcheck --quiet --error-exitcode=1 --std=c++20 --library=qt --enable=warning,performance,portability \
	  --inline-suppr --suppressions-list=.cppcheck-suppressions -I src -I emulator $(LINT_SOURCES)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ) $(WIN_BUILD) $(WIN_NEXT)

# --- Windows: cross-built with mingw-w64, tested under Wine --------------------
# Qt for Windows is built once from Debian's qt6-base source into WIN_QT (about
# 40 minutes on two cores) and reused from there; GoogleTest likewise into
# WIN_GTEST. Both stay outside the tree. The drawing tools run from the native
# build in $(BUILD). The installer (.msi) is built with wixl; windows-test
# builds a second one of the next patch version in WIN_NEXT (no tests, and no
# compiling beyond the version resource when ccache is on) to test upgrades.
WIN_QT    ?= $(CACHE_DIR)/qt6-mingw
WIN_GTEST ?= $(CACHE_DIR)/gtest-mingw
WIN_BUILD ?= build-windows
WIN_NEXT  ?= build-windows-next
WIN_JOBS  ?= 2
WINE      ?= /usr/lib/wine/wine64
WIN_PACKAGES = g++-mingw-w64-x86-64-posix ninja-build qt6-base-dev-tools dpkg-dev wine64 wixl msitools
WIN_ENV = WINEPREFIX=$(abspath $(WIN_BUILD))/wineprefix;WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=
WIN_CMAKE = cmake -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(WIN_QT)/lib/cmake/Qt6/qt.toolchain.cmake \
	  -DQT_CHAINLOAD_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_PREFIX_PATH=$(WIN_GTEST) -DVORTAL9_HOST_TOOLS=$(abspath $(BUILD))/tools \
	  "-DCMAKE_CROSSCOMPILING_EMULATOR=env;$(WIN_ENV);$(WINE)"
# The project's version with its last number one higher.
WIN_NEXT_VERSION = $(shell awk '/^project.vortal9-setup VERSION/ { split($$3, v, "."); print v[1] "." v[2] "." v[3] + 1 }' CMakeLists.txt)

windows: configure
	$(call install-missing,$(WIN_PACKAGES))
	cmake --build $(BUILD) -j$(JOBS) --target vortal9-icongen vortal9-appicon
	JOBS=$(WIN_JOBS) nice -n 10 tools/windows/build-qt.sh $(WIN_QT)
	JOBS=$(WIN_JOBS) tools/windows/build-gtest.sh $(WIN_GTEST)
	$(WIN_CMAKE) -S . -B $(WIN_BUILD)
	cmake --build $(WIN_BUILD) -j$(WIN_JOBS)
	cd $(WIN_BUILD) && cpack -G ZIP
	cmake --build $(WIN_BUILD) --target msi
	@echo "Windows packages: $(WIN_BUILD)/vortal9-setup-windows.zip, $$(ls $(WIN_BUILD)/vortal9-setup-*.msi)"

# The suites that need no real HID device, under Wine; then the installer:
# silent install, the installed program on Xvfb (docs/windows-window.png),
# upgrade to WIN_NEXT's .msi, a refused downgrade, silent removal.
windows-test: windows
	$(WIN_CMAKE) -S . -B $(WIN_NEXT) -DVORTAL9_BUILD_TESTS=OFF -DVORTAL9_VERSION=$(WIN_NEXT_VERSION)
	rm -f $(WIN_NEXT)/vortal9-setup-*.msi
	cmake --build $(WIN_NEXT) -j$(WIN_JOBS) --target msi
	WINE=$(WINE) tools/windows/test-windows.sh $(WIN_BUILD) docs/windows-window.png $(WIN_NEXT)

# Before a merge: whatever the Windows build compiles must still build and
# pass under Wine. With Qt for Windows cached this is `make windows-test`
# (minutes); without it, it says how to get it and fails rather than starting
# the 45-minute Qt build unasked. .ci/run runs it when the cache is there.
windows-check:
	@test -f $(WIN_QT)/.vortal9-qt-complete || { \
	  echo "windows-check: Qt for Windows is not built in $(WIN_QT); run make windows once (over an hour on two cores)"; \
	  exit 1; }
	$(MAKE) windows-test

# --- Debian package -------------------------------------------------------------
DEB_PACKAGES = dpkg-dev file desktop-file-utils debootstrap lintian appstream systemd man-db
DEB_ROOT ?= $(CACHE_DIR)/bookworm-minbase

# The package and its -dbgsym, then what lintian, desktop-file-validate,
# appstreamcli and systemd-analyze say of them (packaging/check-deb.sh).
deb: build
	$(call install-missing,$(DEB_PACKAGES))
	rm -f $(BUILD)/vortal9-setup_*.deb $(BUILD)/vortal9-setup-dbgsym_*.ddeb
	cd $(BUILD) && cpack -G DEB
	packaging/finish-dbgsym.sh $(BUILD)/vortal9-setup-dbgsym_*.ddeb
	dpkg-deb --info $(BUILD)/vortal9-setup_*.deb
	dpkg-deb --contents $(BUILD)/vortal9-setup_*.deb
	packaging/check-deb.sh $(BUILD)/vortal9-setup_*.deb $(BUILD)/vortal9-setup-dbgsym_*.ddeb

# Installs the package into a fresh Debian 12 root (a copy of a minimal
# debootstrap kept in DEB_ROOT) with apt, which brings the declared
# dependencies and nothing else, starts the program there offscreen, then
# removes and purges it: nothing may be left behind.
deb-test: deb
	packaging/test-deb.sh $(BUILD)/vortal9-setup_*.deb $(DEB_ROOT)

# --- Wayland ----------------------------------------------------------------------
WAYLAND_PACKAGES = weston qt6-wayland

# The demo on Qt's Wayland platform in weston: Enter Config clicked, then
# docs/wayland-enter-config.png (packaging/wayland-test.sh).
wayland-test: build
	$(call install-missing,$(WAYLAND_PACKAGES))
	xvfb-run -a -s "-screen 0 1024x768x24" packaging/wayland-test.sh $(BUILD) docs/wayland-enter-config.png

# --- Ansible --------------------------------------------------------------------
# The collection in deploy/ansible, built with ansible-galaxy, linted, and played
# with ansible-playbook against three Debian 12 roots on this machine (through
# the chroot connection, as root), each with emulated readers through the
# emulated build of vortal9-batch. The roots are copies of ANSIBLE_ROOT, a
# minimal root with python3 and the package's dependencies made once.
ANSIBLE_PACKAGES = ansible ansible-lint debootstrap python3
ANSIBLE_ROOT ?= $(CACHE_DIR)/ansible-host-base

ansible-test: deb
	$(call install-missing,$(ANSIBLE_PACKAGES))
	deploy/ansible/tests/run.sh $(BUILD) $(BUILD)/vortal9-setup_*.deb $(ANSIBLE_ROOT)

# --- The real kernel ----------------------------------------------------------------
# Debian 12's own kernel (the one linux-image-amd64 depends on) in qemu, with
# readers made by /dev/uhid inside the virtual machine: the programs of
# $(BUILD) against real hidraw and input event nodes, udev with our rules
# (tests/kernel/run.sh; the checks in tests/kernel/checks/). The kernel and
# udev's package are fetched with apt-get download and unpacked into the
# cache folder, not installed. KERNEL_CHECKS="20-apply ..." runs only those;
# KERNEL_SOAK_PLUGS is how many uhid readers the soak check plugs in and out.
KERNEL_PACKAGES = qemu-system-x86 busybox-static cpio kmod jq python3
KERNEL_CHECKS ?=
KERNEL_SOAK_PLUGS ?= 500

kernel-test: build
	$(call install-missing,$(KERNEL_PACKAGES))
	KERNEL_SOAK_PLUGS=$(KERNEL_SOAK_PLUGS) tests/kernel/run.sh $(BUILD) $(CACHE_DIR) $(KERNEL_CHECKS)

# The programs of `make windows` in the same virtual machine, under Debian's
# Wine, on readers made with /dev/uhid (tests/kernel/wine/): Wine's HID bus on
# their hidraw nodes, the window on Xorg (dummy video, libinput input) that
# reads their event nodes, vortal9-batch.exe and the suites that need a HID
# device. The Wine prefix is made once on the host in WINE_GUEST_PREFIX. Only
# the Wine checks run, unless KERNEL_CHECKS names others too.
WINE_KERNEL_PACKAGES = xserver-xorg-core xserver-xorg-video-dummy xserver-xorg-input-libinput
WINE_GUEST_PREFIX ?= $(CACHE_DIR)/wine-guest-prefix
WINE_CHECKS = $(basename $(notdir $(wildcard tests/kernel/wine/[0-9][0-9]-*.sh)))

windows-kernel-test: windows
	$(call install-missing,$(KERNEL_PACKAGES) $(WINE_KERNEL_PACKAGES))
	WINE=$(WINE) tools/windows/guest-prefix.sh $(WINE_GUEST_PREFIX)
	WIN_BUILD=$(WIN_BUILD) WINE_PREFIX=$(WINE_GUEST_PREFIX) \
	  tests/kernel/run.sh $(BUILD) $(CACHE_DIR) $(or $(KERNEL_CHECKS),$(WINE_CHECKS))
