# How the model's code is compiled.
#
# The model's output is compared byte for byte with earlier runs, so the
# floating-point arithmetic must be exactly what the source says: no fused
# multiply-add contraction, no fast-math reassociation or reciprocals, and no
# silent promotion of float expressions to double. The interface target
# plume_bit_exact carries these options; every target of the model links it,
# and so does every test or tool that compiles the model's arithmetic.
#
# g++ and clang++ take the same options. clang++ contracts a*b+c into a fused
# multiply-add by default (-ffp-contract=on), and its driver lets the fast-math
# switches reset the contraction mode, so -ffp-contract=off comes after
# -fno-fast-math: the last floating-point option wins with either compiler.
# A float promoted to double is an error even in a build that turns the other
# warnings' errors off (cmake --compile-no-warning-error).

# The run sets flush-to-zero and denormals-are-zero through the x86 SSE
# control register (MXCSR), and the host-tuned and portable builds name x86-64
# instruction sets (-march); on another processor neither exists.
if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|x64)$")
  message(FATAL_ERROR "plume builds only for x86-64 (SSE FTZ/DAZ, -march), not ${CMAKE_SYSTEM_PROCESSOR}")
endif()

add_library(plume_bit_exact INTERFACE)
target_compile_options(plume_bit_exact INTERFACE
  -fno-fast-math
  -ffp-contract=off
  -Werror=double-promotion)

