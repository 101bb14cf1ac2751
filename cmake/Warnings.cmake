# Warnings are errors for everything the project builds.
add_compile_options(-Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-Wthread-safety)
endif()
