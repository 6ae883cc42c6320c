# Compiler settings that every target of the project shares.
#
# The model's output is compared byte for byte with earlier runs, so the
# floating-point arithmetic must be exactly what the source says: no fused
# multiply-add contraction, no fast-math reassociation or reciprocals, and no
# silent promotion of float expressions to double.
#
# g++ and clang++ take the same options. clang++ contracts a*b+c into a fused
# multiply-add by default (-ffp-contract=on), and its driver lets the fast-math
# switches reset the contraction mode, so -ffp-contract=off comes after
# -fno-fast-math: the last floating-point option wins with either compiler.
add_compile_options(
  -fno-fast-math
  -ffp-contract=off
  -Wall -Wextra -Wdouble-promotion -Werror
)

if(CMAKE_BUILD_TYPE STREQUAL "Release")
  # Release builds are fully optimised; -O3 does not change floating-point
  # semantics under the options above.
  string(REPLACE "-O2" "-O3" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
endif()

if(PLUME_PORTABLE)
  add_compile_options(-march=x86-64 -mtune=generic)
else()
  add_compile_options(-march=native)
endif()

if(PLUME_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
