# make demo  - install what is missing, build, start private PostGIS and Redis, load the demo cadastre, serve on :8080
# make test  - install, build, start private services, run every test, stop the services
# make build - install and build only (build/gisd, build/survey-plan)
# make test-clang - the same suite built with Clang 16 (build-clang/)
# make test-asan - the test suite under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
# make test-faults - gisd under load while Redis and PostgreSQL fail, then a short fuzz run
# make fuzz - each libFuzzer target for FUZZ_SECONDS (60), built with clang in build-fuzz/
# make bench - the benchmarks (prints figures; see bench/README.md)
# make package - the Debian package build/gisd_VERSION_ARCH.deb (see docs/deploy.md)
# make test-cluster - the slow multi-process tests: the package in a fresh Debian 12 root, a PostgreSQL
#                     standby, Redis Sentinel failover, nginx in front of two gisd processes

.PHONY: all build demo test test-clang test-asan test-faults test-cluster fuzz package bench deps clean

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	bash scripts/web-deps.sh
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	CCACHE_BASEDIR=$(CURDIR) CCACHE_NOHASHDIR=true cmake --build build -j$$(nproc)

demo: build
	bash scripts/demo.sh

test: deps
	BUILD_DIR=build BUILD_TYPE=RelWithDebInfo bash scripts/test.sh

test-clang: deps
	BUILD_DIR=build-clang BUILD_TYPE=RelWithDebInfo CXX=clang++-16 bash scripts/test.sh

test-asan: deps
	BUILD_DIR=build-asan BUILD_TYPE=Asan bash scripts/test.sh

test-cluster: deps
	bash scripts/web-deps.sh
	bash tests/cluster/run.sh

package: build
	cmake --build build --target package

test-faults: deps
	BUILD_DIR=build bash scripts/test-faults.sh

fuzz: deps
	bash scripts/fuzz.sh

bench: build
	bash bench/run.sh

clean:
	rm -rf build build-asan build-fuzz
