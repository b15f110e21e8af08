# Moves every .debug/ directory of an install tree (the stripped binaries' symbols) to the same
# place in another tree:  cmake -DFROM=stage -DTO=debug-stage -P split_debug.cmake
file(GLOB_RECURSE _dirs LIST_DIRECTORIES true "${FROM}/*")
foreach(_d IN LISTS _dirs)
  if(IS_DIRECTORY "${_d}" AND _d MATCHES "/\\.debug$")
    file(RELATIVE_PATH _rel "${FROM}" "${_d}")
    get_filename_component(_parent "${TO}/${_rel}" DIRECTORY)
    file(MAKE_DIRECTORY "${_parent}")
    file(RENAME "${_d}" "${TO}/${_rel}")
  endif()
endforeach()
