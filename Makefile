# Set-up, build and test in one place. Every target first installs the Debian
# packages that are missing (as root; otherwise it prints the apt-get line).

BUILD   ?= build
ASAN    ?= build-asan
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES = qt6-base-dev libhidapi-dev libgtest-dev xvfb xauth xdotool imagemagick \
           fonts-dejavu-core fonts-liberation build-essential cmake pkg-config

.PHONY: all deps configure build run demo test test-asan fuzz lint bench clean install

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
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

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN)
