# Front door. `make demo` runs the installer on a simulated Windows 98 SE
# machine; `make test` installs what is missing, builds everything and runs
# every test through ctest.
.PHONY: all demo deps host host-asan win32 test lint clean dist fuzz fuzz-smoke screenshots \
	sim install uninstall deb

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= 2
# Compiler warnings in the project's code fail the build in CI (where CI is
# set); WERROR=ON makes them fail it anywhere.
WERROR ?= $(if $(CI),ON,OFF)
CONFIGURE = $(CMAKE) -DKESTROW_WARNINGS_AS_ERRORS=$(WERROR) --preset

all: host win32

deps:
	@bash tools/install-deps.sh

host: deps
	$(CONFIGURE) host >/dev/null
	$(CMAKE) --build --preset host -j $(JOBS)

host-asan: deps
	$(CONFIGURE) host-asan >/dev/null
	$(CMAKE) --build --preset host-asan -j $(JOBS)

win32: deps
	$(CONFIGURE) win32 >/dev/null
	$(CMAKE) --build --preset win32 -j $(JOBS)
	@ls -l build/win32/Kestrow.exe

# Builds kestrow-sim and what it links, nothing else; the build's own
# output is shown only when it fails.
demo: deps
	@$(CONFIGURE) host >/dev/null
	@$(CMAKE) --build --preset host --target kestrow-sim -j $(JOBS) >build/host/demo-build.log 2>&1 || \
	    { cat build/host/demo-build.log; exit 1; }
	./build/host/kestrow-sim

# Everything CI runs: the builds, static analysis, every ctest test of the
# host build (unit, cli, install, package, pe, wine, bench smoke runs), the
# unit and cli tests again under AddressSanitizer and UBSan, short fuzzing
# runs, and a second build that must give the same Kestrow.exe, download and
# Debian package.
test: win32 host host-asan dist deb
	bash tools/lint.sh
	$(CTEST) --preset host -j $(JOBS) -LE 'wine|parity'
	@started=$$(date +%s); $(CTEST) --preset host -j $(JOBS) -L 'wine|parity'; status=$$?; \
	    echo "Wine suite wall time: $$(( $$(date +%s) - started )) s"; exit $$status
	$(CTEST) --preset host-asan -j $(JOBS) -L 'unit|cli'
	$(MAKE) fuzz-smoke
	bash tools/check_reproducible.sh

lint: host deb
	bash tools/lint.sh

clean:
	rm -rf build

# The download: a reproducible zip of Kestrow.exe and README.TXT, and its
# checksum. Built twice from clean trees, it must come out byte-identical.
VERSION := 1.0.0.1
dist: win32
	python3 tools/make_dist.py --exe build/win32/Kestrow.exe --readme docs/README.TXT \
	    --version $(VERSION) --out dist

# kestrow-sim for people who only want the tool. `make install` builds it
# alone (build/sim: no tests, no Windows build) and installs the program, its
# sample machines, its manual page and its bash completion below
# $(DESTDIR)$(PREFIX); `make uninstall` removes exactly those files. Neither
# writes anything else outside the work tree.
PREFIX ?= /usr/local

sim:
	$(CMAKE) --preset sim -DCMAKE_INSTALL_PREFIX="$(PREFIX)" >/dev/null
	$(CMAKE) --build --preset sim -j $(JOBS)

install: sim
	DESTDIR="$(DESTDIR)" $(CMAKE) --install build/sim --prefix "$(PREFIX)"

uninstall: sim
	bash tools/uninstall.sh build/sim "$(PREFIX)" "$(DESTDIR)"

# dist/kestrow-sim_<version>_amd64.deb, built with dpkg-buildpackage from the
# tracked files (debian/); two builds of one commit give the same bytes. What
# it needs is debian/control's Build-Depends (apt-get build-dep ./), not the
# whole of tools/install-deps.sh. It is made again when a tracked file
# changed.
DEB := dist/kestrow-sim_$(shell dpkg-parsechangelog -S Version 2>/dev/null)_$(shell \
	dpkg --print-architecture 2>/dev/null).deb
deb: $(DEB)
$(DEB): $(shell git ls-files 2>/dev/null)
	JOBS=$(JOBS) bash tools/make_deb.sh dist build/deb

# Coverage-guided fuzzing (libFuzzer, clang 14, AddressSanitizer, UBSan) of
# the parsers of untrusted bytes. `make fuzz` runs each target FUZZ_SECONDS
# on a copy of its corpus (fuzz/corpus/<target>/) and prints its executions
# per second; `make fuzz-smoke` runs every corpus file once, then each target
# FUZZ_SMOKE_SECONDS. Either fails when a target finds a crash.
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 5
FUZZ_BUILD = $(CONFIGURE) fuzz >/dev/null && \
	$(CMAKE) --build build/fuzz --target kestrow_fuzzers -j $(JOBS)

fuzz: deps
	$(FUZZ_BUILD)
	bash fuzz/run_fuzzers.sh $(FUZZ_SECONDS)

fuzz-smoke: deps
	$(FUZZ_BUILD)
	bash fuzz/run_fuzzers.sh --smoke $(FUZZ_SMOKE_SECONDS)

# Pictures of the program's message boxes for README.md (docs/images/): the
# real program under Wine on a virtual display, each box cropped to its window.
screenshots: win32 host
	python3 tests/wine/screenshots.py --exe build/win32/Kestrow.exe \
	    --launcher build/host/tests/wine/launcher.exe --out docs/images
