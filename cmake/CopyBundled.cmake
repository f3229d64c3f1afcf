# Puts the bundled files of resources/ beside the executable without touching
# what the operator has there: a settings file that exists is kept as it is
# (scan parameters, feedback sets, channel choices, levels, file numbers and
# every "Edit Ini" change live in it); only missing files are copied. Files
# that belong to the program rather than to the operator (REFRESH, names
# relative to SOURCE) follow the sources on every build.
#
#   cmake -DSOURCE=<resources> -DDEST=<bin> [-DREFRESH=QVT_Manual.html;...] -P CopyBundled.cmake

cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE OR NOT DEST)
  message(FATAL_ERROR "CopyBundled.cmake needs SOURCE and DEST")
endif()

file(GLOB_RECURSE bundled RELATIVE "${SOURCE}" "${SOURCE}/*")
foreach(name IN LISTS bundled)
  set(from "${SOURCE}/${name}")
  set(to "${DEST}/${name}")
  get_filename_component(dir "${to}" DIRECTORY)
  if(name IN_LIST REFRESH)
    file(MAKE_DIRECTORY "${dir}")
    file(COPY_FILE "${from}" "${to}" ONLY_IF_DIFFERENT)
  elseif(NOT EXISTS "${to}")
    file(MAKE_DIRECTORY "${dir}")
    file(COPY_FILE "${from}" "${to}")
  endif()
endforeach()
