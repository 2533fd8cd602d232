# The pictures the build makes (the tests' and the default /ZQ/media), generated into
# the build tree.
set(ZQ_PYTHON /usr/bin/python3)
set(ZQ_BUILD_MEDIA_DIR ${CMAKE_BINARY_DIR}/media)
set(ZQ_BUILD_MEDIA_FILES
    ${ZQ_BUILD_MEDIA_DIR}/inconsolata_20px_ffffff.bmp ${ZQ_BUILD_MEDIA_DIR}/zqtitle.bmp
    ${ZQ_BUILD_MEDIA_DIR}/zqani00.bmp ${ZQ_BUILD_MEDIA_DIR}/zqani01.bmp ${ZQ_BUILD_MEDIA_DIR}/zqani02.bmp
    ${ZQ_BUILD_MEDIA_DIR}/zqani03.bmp)
add_custom_command(
  OUTPUT ${ZQ_BUILD_MEDIA_FILES}
  COMMAND ${ZQ_PYTHON} ${PROJECT_SOURCE_DIR}/integrator/make_media.py ${ZQ_BUILD_MEDIA_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/integrator/make_media.py
  COMMENT "Generating the device media")
add_custom_target(media ALL DEPENDS ${ZQ_BUILD_MEDIA_FILES})

# What goes in /ZQ/media: the generated set, or an integrator's folder given
# with -DZQ_MEDIA_DIR=... and the screen it is for, -DZQ_SCREEN=WxHxBPP; that
# folder is refused unless zqbmp check --strict passes it for that screen
# (zq_check_integrator_media, once zqbmp exists).
set(ZQ_MEDIA_DIR "" CACHE PATH "An integrator's media folder for /ZQ/media (default: the generated set)")
set(ZQ_SCREEN "" CACHE STRING "The screen ZQ_MEDIA_DIR is for, WIDTHxHEIGHTxBPP")
set(ZQ_MEDIA_NAMES inconsolata_20px_ffffff.bmp zqtitle.bmp zqani00.bmp zqani01.bmp zqani02.bmp
                   zqani03.bmp)
if(ZQ_MEDIA_DIR)
  if(NOT ZQ_SCREEN)
    message(FATAL_ERROR "ZQ_MEDIA_DIR needs the screen it is for: -DZQ_SCREEN=WIDTHxHEIGHTxBPP")
  endif()
  set(ZQ_MEDIA_FILES "")
  foreach(name ${ZQ_MEDIA_NAMES})
    if(NOT EXISTS ${ZQ_MEDIA_DIR}/${name})
      message(FATAL_ERROR "ZQ_MEDIA_DIR ${ZQ_MEDIA_DIR} has no ${name}")
    endif()
    list(APPEND ZQ_MEDIA_FILES ${ZQ_MEDIA_DIR}/${name})
  endforeach()
else()
  set(ZQ_MEDIA_FILES ${ZQ_BUILD_MEDIA_FILES})
endif()

function(zq_check_integrator_media)
  if(NOT ZQ_MEDIA_DIR)
    return()
  endif()
  set(stamp ${CMAKE_BINARY_DIR}/integrator-media.checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:zqbmp> check ${ZQ_MEDIA_DIR}
            --screen ${ZQ_SCREEN} --strict
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS zqbmp ${ZQ_MEDIA_FILES}
    COMMENT "Checking ${ZQ_MEDIA_DIR} for ${ZQ_SCREEN} (zqbmp check --strict)")
  add_custom_target(integrator_media ALL DEPENDS ${stamp})
endfunction()
