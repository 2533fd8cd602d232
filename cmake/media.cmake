# The device's pictures (/ZQ/media), generated into the build tree.
set(ZQ_PYTHON /usr/bin/python3)
set(ZQ_MEDIA_DIR ${CMAKE_BINARY_DIR}/media)
set(ZQ_MEDIA_FILES
    ${ZQ_MEDIA_DIR}/inconsolata_20px_ffffff.bmp ${ZQ_MEDIA_DIR}/zqtitle.bmp
    ${ZQ_MEDIA_DIR}/zqani00.bmp ${ZQ_MEDIA_DIR}/zqani01.bmp ${ZQ_MEDIA_DIR}/zqani02.bmp
    ${ZQ_MEDIA_DIR}/zqani03.bmp)
add_custom_command(
  OUTPUT ${ZQ_MEDIA_FILES}
  COMMAND ${ZQ_PYTHON} ${PROJECT_SOURCE_DIR}/integrator/make_media.py ${ZQ_MEDIA_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/integrator/make_media.py
  COMMENT "Generating the device media")
add_custom_target(media ALL DEPENDS ${ZQ_MEDIA_FILES})
