# The three programs that ship. zq_program(NAME SOURCES... LIBS...) builds one;
# with ZQ_MUSL the nested build of the product (cmake/armv5te-musl-toolchain.cmake)
# builds them all into this build's bin/, and NAME is the target that runs it.
set(ZQ_PROGRAMS zqrecovery zqanimation run_zq_device_init)

if(ZQ_MUSL AND NOT ZQ_SHIPPED_ONLY)
  include(ExternalProject)
  set(ZQ_SHIPPED_DIR ${CMAKE_BINARY_DIR}/shipped)
  list(TRANSFORM ZQ_PROGRAMS PREPEND ${ZQ_RUNTIME_DIR}/ OUTPUT_VARIABLE _shipped_files)
  ExternalProject_Add(shipped_programs
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${ZQ_SHIPPED_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/armv5te-musl-toolchain.cmake
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DZQ_SHIPPED_ONLY=ON
               -DZQ_RUNTIME_DIR=${ZQ_RUNTIME_DIR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${_shipped_files} ${ZQ_RUNTIME_DIR}/footprint_reference
                     ${ZQ_RUNTIME_DIR}/programs_strerror)
endif()

function(zq_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  if(ZQ_MUSL AND NOT ZQ_SHIPPED_ONLY)
    add_custom_target(${name})
    add_dependencies(${name} shipped_programs)
    return()
  endif()
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  target_compile_options(${name} PRIVATE ${ZQ_WARNINGS} ${ZQ_PRODUCT_FLAGS})
endfunction()

# What goes in DESTINATION of a device's tree: the programs, stripped with
# cmake --install --strip (with ZQ_MUSL, by the nested build's own install).
function(zq_install_programs destination)
  if(NOT (ZQ_MUSL AND NOT ZQ_SHIPPED_ONLY))
    install(TARGETS ${ZQ_PROGRAMS} RUNTIME DESTINATION ${destination})
    return()
  endif()
  install(CODE "
    set(_strip \"\")
    if(CMAKE_INSTALL_DO_STRIP)
      set(_strip --strip)
    endif()
    execute_process(COMMAND \"${CMAKE_COMMAND}\" --install \"${ZQ_SHIPPED_DIR}\"
                            --prefix \"\${CMAKE_INSTALL_PREFIX}\" \${_strip}
                    COMMAND_ERROR_IS_FATAL ANY)")
endfunction()
