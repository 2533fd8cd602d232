# The two commands: `make check` (install what is missing, build and test every
# preset) and `make demo` (boot the emulated device and save what it shows in build/demo).
PRESETS := host asan tsan arm fuzz
JOBS := $(shell nproc)

.PHONY: check demo bench coverage faults deps $(addprefix check-,$(PRESETS)) clean

check: deps
	@for p in $(PRESETS); do \
	  echo "== $$p"; \
	  cmake --preset $$p >/dev/null && \
	  cmake --build build/$$p -j$(JOBS) && \
	  ctest --preset $$p -j$(JOBS) || exit 1; \
	done

$(addprefix check-,$(PRESETS)): check-%: deps
	cmake --preset $* >/dev/null
	cmake --build build/$* -j$(JOBS)
	ctest --preset $* -j$(JOBS)

demo: deps
	cmake --preset arm >/dev/null
	cmake --build build/arm -j$(JOBS) --target zqrecovery zqanimation run_zq_device_init zq_shell_front zq_old_kernel media zqbmp
	rm -rf build/demo
	/usr/bin/python3 emulated_device/demo.py build build/demo

bench: deps
	cmake --preset host >/dev/null
	cmake --build build/host -j$(JOBS) --target picture_load_bench startup_cost media
	cmake --preset arm >/dev/null
	cmake --build build/arm -j$(JOBS) --target zqrecovery zqanimation run_zq_device_init zq_shell_front zq_old_kernel media \
	  picture_load_bench startup_cost
	build/host/bin/picture_load_bench
	sh bench/instructions.sh build/host build/arm
	/usr/bin/python3 emulated_device/first_frame_bench.py build
	/usr/bin/python3 emulated_device/update_bench.py build

# The fault list on demand: every fault still applies to the source it names,
# then each is injected in turn into a scratch copy and the host's unit tests run.
faults: deps
	/usr/bin/python3 tests/faults/inject.py --dry-run
	/usr/bin/python3 tests/faults/inject.py

# Line and branch coverage of the product code by the host's unit tests:
# build/coverage/report/index.html and a summary.
PRODUCT_DIRS := bmplib display events shell recovery animation deviceinit
coverage: deps
	cmake --preset coverage >/dev/null
	cmake --build build/coverage -j$(JOBS)
	find build/coverage -name '*.gcda' -delete
	ctest --preset coverage -j$(JOBS) -L unit
	mkdir -p build/coverage/report
	gcovr --root . --object-directory build/coverage \
	  $(foreach d,$(PRODUCT_DIRS),--filter '$(d)/') \
	  --exclude-unreachable-branches --exclude-throw-branches \
	  --html-details build/coverage/report/index.html --print-summary

deps:
	@sh tools/install-deps.sh

clean:
	rm -rf build
