cmake_minimum_required(VERSION 3.25)

# Two builds in a row, with the operator's edits in between: the edits stay,
# a deleted settings file comes back as bundled, the manual follows the sources.

function(copy_bundled)
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE=${SOURCE} -DDEST=${WORK} -DREFRESH=${REFRESH} -P ${COPY}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "copying the bundled files failed: ${result}")
  endif()
endfunction()

function(expect_same a b what)
  file(READ "${a}" left HEX)
  file(READ "${b}" right HEX)
  if(NOT left STREQUAL right)
    message(FATAL_ERROR "${what}: ${a} differs from ${b}")
  endif()
endfunction()

# A folder of this run's own, so runs side by side do not meet.
string(RANDOM LENGTH 8 run)
set(WORK "${WORK}-${run}")
file(REMOVE_RECURSE "${WORK}")

# First build: everything arrives.
copy_bundled()
foreach(name ini/qvt.ini ini/sim.ini user.ini QVT_Manual.html)
  expect_same("${SOURCE}/${name}" "${WORK}/${name}" "first build")
endforeach()

# The operator works: "Edit Ini", a scan parameter, the file number, the level.
file(APPEND "${WORK}/ini/qvt.ini" "[Save]\r\nNummer=42\r\nLastFile=sample0042\r\n")
file(APPEND "${WORK}/user.ini" "[Admin]\r\nCurrentMode=2\r\n")
file(READ "${WORK}/ini/qvt.ini" editedMain)
file(READ "${WORK}/user.ini" editedUser)
file(WRITE "${WORK}/QVT_Manual.html" "stale manual")
file(REMOVE "${WORK}/ini/sim.ini")

# Second build.
copy_bundled()
file(READ "${WORK}/ini/qvt.ini" mainAfter)
file(READ "${WORK}/user.ini" userAfter)
if(NOT mainAfter STREQUAL editedMain)
  message(FATAL_ERROR "the second build changed the edited ini/qvt.ini")
endif()
if(NOT userAfter STREQUAL editedUser)
  message(FATAL_ERROR "the second build changed the edited user.ini")
endif()
expect_same("${SOURCE}/ini/sim.ini" "${WORK}/ini/sim.ini" "a deleted file comes back")
expect_same("${SOURCE}/QVT_Manual.html" "${WORK}/QVT_Manual.html" "the manual follows the sources")

file(REMOVE_RECURSE "${WORK}")
