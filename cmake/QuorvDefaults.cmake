# quorv_apply_defaults(target): warnings, sanitizers and the include root for project targets.
function(quorv_apply_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  if(QUORV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

if(QUORV_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QUORV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# libvips asks for -pthread; giving it to every target keeps the precompiled
# header (built once, reused by the libraries) valid everywhere.
add_compile_options(-pthread)
add_link_options(-pthread)

# libtorch runs its threads on OpenMP, and at::parallel_for is a template that
# only goes parallel in code compiled with -fopenmp: without it our own kernels
# (the resampling passes) run on one core. Given to every target for the same
# reason as -pthread. The fuzz build (clang, one input at a time) stays serial.
if(NOT QUORV_FUZZ)
  find_package(OpenMP REQUIRED COMPONENTS CXX)
  add_compile_options(${OpenMP_CXX_FLAGS})
  link_libraries(OpenMP::OpenMP_CXX)
else()
  add_compile_definitions(QUORV_SERIAL_BUILD)
endif()
