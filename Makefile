# The two commands: `make check` (install what is missing, build and test every
# preset) and `make demo` (render what the boot animation shows into build/demo).
PRESETS := host asan tsan arm
JOBS := $(shell nproc)

.PHONY: check demo bench deps $(addprefix check-,$(PRESETS)) clean

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
	cmake --preset host >/dev/null
	cmake --build build/host -j$(JOBS) --target render_animation media
	rm -rf build/demo && mkdir -p build/demo
	build/host/bin/render_animation build/host/media build/demo >/dev/null
	@echo "The boot animation as zqanimation draws it (800 x 480, 32 bits):"
	@/usr/bin/python3 tools/demo/to_png.py build/demo

bench: deps
	cmake --preset host >/dev/null
	cmake --build build/host -j$(JOBS) --target picture_load_bench
	build/host/bin/picture_load_bench --benchmark_min_time=0.5

deps:
	@sh tools/install-deps.sh

clean:
	rm -rf build
