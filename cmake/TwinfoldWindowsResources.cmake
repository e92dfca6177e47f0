# What res/twinfold.rc takes from the build: version.h and twinfold.manifest, filled in from the
# project's version, and twinfold.ico, drawn in res/twinfold.svg (res/twinfold-16.svg for the
# smallest image) and rendered at each size Windows asks for by librsvg's rsvg-convert, then put
# together by icoutils' icotool. The 256-pixel image is kept as PNG, as Windows Vista and later read it.
#
#   twinfold_windows_resources(TARGET)   makes TARGET, which the programs built from the .rc depend
#                                        on; the files land in ${CMAKE_CURRENT_BINARY_DIR}/res.
function(twinfold_windows_resources target)
  find_program(TWINFOLD_RSVG_CONVERT rsvg-convert REQUIRED)
  find_program(TWINFOLD_ICOTOOL icotool REQUIRED)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/res)
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/res)
  set(TWINFOLD_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  configure_file(${src}/version.h.in ${out}/version.h @ONLY)
  configure_file(${src}/twinfold.manifest.in ${out}/twinfold.manifest @ONLY)

  set(images)
  foreach(size 16 20 24 32 40 48 64 256)
    set(drawing ${src}/twinfold.svg)
    if(size EQUAL 16)
      set(drawing ${src}/twinfold-16.svg)
    endif()
    add_custom_command(OUTPUT ${out}/icon-${size}.png
      COMMAND ${TWINFOLD_RSVG_CONVERT} -w ${size} -h ${size} -o ${out}/icon-${size}.png ${drawing}
      DEPENDS ${drawing} VERBATIM)
    if(size EQUAL 256)
      list(APPEND images --raw=${out}/icon-${size}.png)
    else()
      list(APPEND images ${out}/icon-${size}.png)
    endif()
  endforeach()
  list(TRANSFORM images REPLACE "^--raw=" "" OUTPUT_VARIABLE image_files)
  add_custom_command(OUTPUT ${out}/twinfold.ico
    COMMAND ${TWINFOLD_ICOTOOL} -c -o ${out}/twinfold.ico ${images}
    DEPENDS ${image_files} VERBATIM)
  add_custom_target(${target} DEPENDS ${out}/twinfold.ico)
  set_source_files_properties(${src}/twinfold.rc PROPERTIES
    OBJECT_DEPENDS "${out}/twinfold.ico;${out}/twinfold.manifest;${out}/version.h")
endfunction()
