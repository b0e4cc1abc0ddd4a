# Thin front end over CMake. `make run` starts the program beside the bundled sample input;
# `make test` builds and runs every test, plainly and under AddressSanitizer + UBSan.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE := build/release
SANITIZE := build/sanitize
RUNDIR := build/run

# Debian packages the build, the tests and the benchmarks need (sox's MP3 format and ffmpeg for
# the tests of render's formats and pipes; the LV2 headers, liblilv, lv2info, lv2apply and
# sord_validate for the plugin and its tests).
PACKAGES := cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev tmux \
	libcli11-dev libsndfile1-dev nlohmann-json3-dev libcairo2-dev libfftw3-dev sox libsox-fmt-mp3 \
	ffmpeg time lv2-dev liblilv-dev lilv-utils sordi
FUZZ_PACKAGES := clang libclang-rt-14-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all build run test bench fuzz deps fuzz-deps format data clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	@cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(RELEASE) -j $(JOBS) --target cartrivex cartrivex-cli cartrivex_lv2

run: build
	@mkdir -p $(RUNDIR)
	@cp -u data/sample.wav $(RUNDIR)/sample.wav
	@cd $(RUNDIR) && ../release/bin/cartrivex

test: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE) -j $(JOBS)
	cd $(RELEASE) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=Release -DCARTRIVEX_SANITIZE=ON
	cmake --build $(SANITIZE) -j $(JOBS)
	cd $(SANITIZE) && ctest --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DCARTRIVEX_BENCH=ON
	cmake --build $(RELEASE) -j $(JOBS) --target cartrivex_bench cartrivex_bench_input cartrivex-cli cartrivex_lv2
	$(RELEASE)/bench/cartrivex_bench
	bench/render_bench.sh $(RELEASE)/bin/cartrivex-cli

data: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE) -j $(JOBS) --target design_filters make_sample
	$(RELEASE)/design_filters data
	$(RELEASE)/make_sample data/sample.wav

# Each reader gets FUZZ_SECONDS of libFuzzer (clang), starting from the seeds in tests/fuzz/corpus.
FUZZ := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_FLAGS := -std=c++20 -O1 -g -I. -ffp-contract=off -fsanitize=fuzzer,address,undefined \
	-fno-sanitize-recover=undefined
FUZZ_TARGETS := parse_number coefficient_file wave_header
FUZZ_SOURCES_parse_number := text/number_parse.cpp text/powers_of_ten.cpp
FUZZ_SOURCES_coefficient_file := $(FUZZ_SOURCES_parse_number) dsp/coefficient_file.cpp
FUZZ_SOURCES_wave_header := $(wildcard wave/*.cpp) files/safe_output.cpp dsp/sample_buffer.cpp \
	text/number_format.cpp text/powers_of_ten.cpp

fuzz-deps:
	@missing=""; for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

fuzz: fuzz-deps
	@mkdir -p $(FUZZ)
	@set -e; for t in $(FUZZ_TARGETS); do \
	  case $$t in \
	    parse_number) src="$(FUZZ_SOURCES_parse_number)";; \
	    coefficient_file) src="$(FUZZ_SOURCES_coefficient_file)";; \
	    wave_header) src="$(FUZZ_SOURCES_wave_header)";; \
	  esac; \
	  clang++ $(FUZZ_FLAGS) -o $(FUZZ)/fuzz_$$t tests/fuzz/fuzz_$$t.cpp $$src; \
	  mkdir -p $(FUZZ)/corpus_$$t; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  $(FUZZ)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ)/crash_$$t- $(FUZZ)/corpus_$$t tests/fuzz/corpus/$$t \
	    2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true; \
	  if ls $(FUZZ)/crash_$$t-* >/dev/null 2>&1; then echo "$$t: crash found"; exit 1; fi; \
	done

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
