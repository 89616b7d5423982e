# Sanitizer and libFuzzer instrumentation of the whole build, chosen when configuring
# (scripts/test --sanitize, scripts/fuzz).
set(TARNWICK_SANITIZE "" CACHE STRING "Sanitizers for every target, e.g. address,undefined")
option(TARNWICK_FUZZ "Link the fuzz targets with libFuzzer (clang) instead of the seed replayer" OFF)

if(TARNWICK_SANITIZE)
  # Any finding fails the run instead of scrolling past in a log. Programs built against a
  # sanitized install need the same flags (tests/install does so for the example).
  set(TARNWICK_SANITIZE_FLAGS -fsanitize=${TARNWICK_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${TARNWICK_SANITIZE_FLAGS})
  add_link_options(-fsanitize=${TARNWICK_SANITIZE})
endif()

if(TARNWICK_FUZZ)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
  check_cxx_source_compiles([[
    #include <cstddef>
    #include <cstdint>
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
  ]] TARNWICK_LIBFUZZER_LINKS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(TARNWICK_LIBFUZZER_LINKS)
    # Coverage for the libraries too: the parsers under test live there.
    add_compile_options(-fsanitize=fuzzer-no-link)
  else()
    message(WARNING "TARNWICK_FUZZ: ${CMAKE_CXX_COMPILER} cannot link -fsanitize=fuzzer (clang with "
                    "libclang-rt-dev is needed); the fuzz targets only replay their seeds")
    set(TARNWICK_FUZZ OFF)
  endif()
endif()
