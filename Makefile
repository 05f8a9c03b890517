# Front door. `make demo` runs the installer on a simulated Windows 98 SE
# machine; `make test` installs what is missing, builds everything and runs
# every test through ctest.
.PHONY: all demo deps host host-asan win32 win64 test clean dist

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= 2

all: host win32

deps:
	@bash tools/install-deps.sh

host: deps
	$(CMAKE) --preset host >/dev/null
	$(CMAKE) --build --preset host -j $(JOBS)

host-asan: deps
	$(CMAKE) --preset host-asan >/dev/null
	$(CMAKE) --build --preset host-asan -j $(JOBS)

win32: deps
	$(CMAKE) --preset win32 >/dev/null
	$(CMAKE) --build --preset win32 -j $(JOBS)
	@ls -l build/win32/Kestrow.exe

win64: deps
	$(CMAKE) --preset win64 >/dev/null
	$(CMAKE) --build --preset win64 -j $(JOBS)

demo: host
	./build/host/kestrow-sim

test: win32 win64 host host-asan
	$(CTEST) --preset host -j $(JOBS)
	$(CTEST) --preset host-asan -j $(JOBS) -L unit

clean:
	rm -rf build

# The download: a reproducible zip of Kestrow.exe and README.TXT, and its
# checksum. Built twice from clean trees, it must come out byte-identical.
VERSION := 1.0.0.1
dist: win32
	python3 tools/make_dist.py --exe build/win32/Kestrow.exe --readme docs/README.TXT \
	    --version $(VERSION) --out dist
