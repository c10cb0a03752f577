# The portable archive is one program folder: the programs at its top, as
# in the build folder, so that unpacked anywhere an operator may write they
# keep their files beside them. What the Debian package spreads over the
# system goes to share/ for an administrator to copy; the wrappers, which
# point at /opt/qvtune, and Debian's own files stay out.
if(NOT CPACK_GENERATOR STREQUAL "TGZ")
  return()
endif()
set(top "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB programs "${top}/${CPACK_QV_PROGRAM_DIR}/*")
foreach(p IN LISTS programs)
  get_filename_component(name "${p}" NAME)
  file(RENAME "${p}" "${top}/${name}")
endforeach()
file(MAKE_DIRECTORY "${top}/share/udev")
file(RENAME "${top}/lib/udev/rules.d/60-qvtune-serial.rules" "${top}/share/udev/60-qvtune-serial.rules")
foreach(d man applications icons)
  if(EXISTS "${top}/usr/share/${d}")
    file(RENAME "${top}/usr/share/${d}" "${top}/share/${d}")
  endif()
endforeach()
file(RENAME "${top}/usr/share/doc/qvtune/copyright" "${top}/copyright")
file(REMOVE_RECURSE "${top}/opt" "${top}/usr" "${top}/lib")
