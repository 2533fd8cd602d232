# The shipped programs: the ARMv5TE toolchain with Debian's musl for armel as
# the C library (musl-dev:armel), linked statically. Only the C library's
# headers and the kernel's are seen: the product code uses no C++ library.
include(${CMAKE_CURRENT_LIST_DIR}/armv5te-toolchain.cmake)
set(ZQ_MUSL_LIB /usr/lib/arm-linux-musleabi)
set(ZQ_MUSL_INCLUDE /usr/include/arm-linux-musleabi)

function(zq_gcc_file name out)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out} ${path} PARENT_SCOPE)
endfunction()
zq_gcc_file(include _gcc_include)
zq_gcc_file(crtbeginT.o _crtbegin)
zq_gcc_file(crtend.o _crtend)

# The kernel's headers (linux/fb.h, linux/input.h) without the glibc headers beside them.
set(_kernel_headers ${CMAKE_BINARY_DIR}/kernel-headers)
file(MAKE_DIRECTORY ${_kernel_headers})
foreach(dir linux asm asm-generic)
  file(CREATE_LINK /usr/arm-linux-gnueabi/include/${dir} ${_kernel_headers}/${dir} SYMBOLIC)
endforeach()

set(_includes "-nostdinc -isystem ${ZQ_MUSL_INCLUDE} -isystem ${_gcc_include} -isystem ${_kernel_headers}")
# Each function and object in a section of its own, so that the link keeps
# only what a program reaches, as musl's own objects are built. The data
# segment follows the code in the file (no read-only-after-relocation page,
# which nothing applies in a static program, and no padding to a whole page
# to spare one page of memory).
set(_sections "-ffunction-sections -fdata-sections")
# Thumb, as Android's armeabi builds its code by default: a third smaller than
# ARM code. The pixel and hash loops are built as ARM code (ZQ_HOT_CODE), where
# Thumb-1's eight registers and lack of shifted operands would slow them.
set(CMAKE_C_FLAGS_INIT "${_includes} ${_sections} -mthumb")
set(CMAKE_CXX_FLAGS_INIT "${_includes} -nostdinc++ ${_sections} -mthumb")
set(ZQ_THUMB ON CACHE BOOL "product code built as Thumb, hot loops as ARM")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -nostdlib -Wl,--gc-sections -Wl,-z,norelro,-z,common-page-size=64 ${ZQ_MUSL_LIB}/crt1.o ${ZQ_MUSL_LIB}/crti.o ${_crtbegin}")
set(_libraries "-Wl,--start-group ${ZQ_MUSL_LIB}/libc.a -lgcc -lgcc_eh -Wl,--end-group ${_crtend} ${ZQ_MUSL_LIB}/crtn.o")
set(CMAKE_C_STANDARD_LIBRARIES "${_libraries}")
set(CMAKE_CXX_STANDARD_LIBRARIES "${_libraries}")
