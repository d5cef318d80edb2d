# The wizard's pieces without a window system, shared by setup.exe, quillpack
# and the native tests. Included from each of them; defined once per build.
if(NOT TARGET kestrel_setup_core)
  add_library(kestrel_setup_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/core/setup_text.cpp
    ${CMAKE_CURRENT_LIST_DIR}/core/setup_layout.cpp)
  kestrel_defaults(kestrel_setup_core)
endif()
