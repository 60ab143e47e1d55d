# Velmarquin: the data plug-in DLL, cross-built with MinGW-w64 and tested under Wine.
#   make demo   the stand-in host drives the plug-in
#   make test   builds everything and runs every test
#   make dll    writes dist/ (what a user copies into the host's plug-ins folder)

BUILD   := build
DIST    := dist
PREFIX  := $(abspath $(BUILD))/wineprefix
JOBS    ?= 2
PACKAGES := g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth cmake make openssl python3 clang \
            libclang-rt-14-dev x11-apps imagemagick zip fonts-wine

.PHONY: all deps configure build dll test demo clean prefix certs fuzz bench screenshots reliability-report soak release

all: dll

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release

configure: $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

dll: deps configure
	cmake --build $(BUILD) -j $(JOBS) --target Velmarquin
	rm -rf $(DIST) && mkdir -p $(DIST)
	cp $(BUILD)/bin/Velmarquin.dll docs/TECHNICAL_GUIDE.html $(DIST)/

# dist/Velmarquin-VERSION.zip: what a user downloads. File times are fixed,
# so the same build gives the same archive.
VERSION := 1.0.0
release: dll
	rm -rf $(DIST)/release && mkdir -p $(DIST)/release
	cp $(DIST)/Velmarquin.dll $(DIST)/TECHNICAL_GUIDE.html docs/INSTALL.txt $(DIST)/release/
	touch -d '2026-01-01 00:00:00 UTC' $(DIST)/release/*
	rm -f $(DIST)/Velmarquin-$(VERSION).zip
	cd $(DIST)/release && TZ=UTC zip -X -q ../Velmarquin-$(VERSION).zip Velmarquin.dll TECHNICAL_GUIDE.html INSTALL.txt
	rm -rf $(DIST)/release
	@cd $(DIST) && sha256sum Velmarquin-$(VERSION).zip | tee Velmarquin-$(VERSION).zip.sha256

certs: deps
	tools/service_double/make_certs.sh $(BUILD)/certs

prefix: build certs
	tests/support/prepare-wine-prefix.sh $(PREFIX) $(BUILD)/certs/ca.der $(BUILD)/bin/trust_ca.exe

test: build dll prefix
	cd $(BUILD) && xvfb-run -a ctest --output-on-failure --timeout 900
	fuzz/run.sh build-fuzz 15

bench: build prefix
	cmake --build $(BUILD) -j $(JOBS) --target velmarquin_bench
	bench/build_baseline.sh $(BUILD)
	tests/support/with-double.sh $(BUILD)/certs $(BUILD)/wine-run.sh $(BUILD)/bin/velmarquin_bench.exe

# Pictures of the configuration window's tabs and the status menu, taken in
# a Wine virtual desktop under Xvfb and written to docs/screenshots/.
SHOTS := $(abspath $(BUILD))/shots
screenshots: build prefix
	cmake --build $(BUILD) -j $(JOBS) --target screenshots
	rm -rf $(SHOTS) && mkdir -p $(SHOTS) docs/screenshots
	cd $(BUILD)/bin && timeout 180 xvfb-run -a -s "-screen 0 1280x1024x24" \
	  $(CURDIR)/tests/support/with-double.sh $(abspath $(BUILD))/certs \
	  ../wine-run.sh explorer /desktop=velmarquin,1024x768 screenshots.exe "Z:$(SHOTS)"
	for f in config-chart config-connection config-tools status-menu check-passed check-sign-in-refused; do \
	  test -s $(SHOTS)/$$f.bmp || { echo "no picture $$f" >&2; exit 1; }; \
	  convert $(SHOTS)/$$f.bmp -strip -define png:exclude-chunks=date,time docs/screenshots/$$f.png; \
	done
	python3 tools/screenshots/embed.py docs/TECHNICAL_GUIDE.html docs/screenshots

# docs/RELIABILITY.md from one run of the fault matrix and the bad-input tests.
ROWS := $(abspath $(BUILD))/reliability-rows.tsv
reliability-report: build dll prefix
	rm -f $(ROWS)
	cd $(BUILD) && VELMARQUIN_RELIABILITY_ROWS="Z:$(ROWS)" xvfb-run -a ctest --output-on-failure \
	  -R '^(fault_matrix_tests|bad_files_tests)$$'
	python3 tools/reliability_report.py $(ROWS) > docs/RELIABILITY.md.new
	mv docs/RELIABILITY.md.new docs/RELIABILITY.md

# The load soak for longer than make test runs it (SOAK_SECONDS, default an hour).
SOAK_SECONDS ?= 3600
soak: build dll prefix
	cd $(BUILD) && VELMARQUIN_SOAK_SECONDS=$(SOAK_SECONDS) VELMARQUIN_DOUBLE_LIFETIME=$$(($(SOAK_SECONDS) + 600)) \
	  xvfb-run -a ../tests/support/with-double.sh certs ./wine-run.sh bin/load_tests.exe --gtest_filter='*Soak*'

fuzz: deps
	fuzz/run.sh build-fuzz 60

demo: build dll prefix
	tools/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(DIST)
