# Compiler flags of the fuzz build. Everything, the core library included, is instrumented
# for coverage and built with AddressSanitizer and UndefinedBehaviorSanitizer; only the fuzz
# executables themselves link libFuzzer's main.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "LARKSPIRE_FUZZ needs clang++: configure with -DCMAKE_CXX_COMPILER=clang++")
endif()
if(LARKSPIRE_SANITIZE)
  message(FATAL_ERROR "LARKSPIRE_FUZZ already sanitizes; leave LARKSPIRE_SANITIZE off")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
