# Builds made to find faults, never to ship.
#
#   PLEMO_SANITIZE=ON       every target with AddressSanitizer (LeakSanitizer
#                           included) and UndefinedBehaviorSanitizer. Undefined
#                           behaviour stops the program instead of being
#                           reported and passed over, so a test that meets it
#                           fails. tools/test-sanitizers.sh uses it.
#   PLEMO_SANITIZE_THREAD=ON  every target with ThreadSanitizer: plemo-flash
#                           runs each port's upload on a thread of its own.
#                           tools/test-sanitizers.sh runs its tests with it.
#   PLEMO_BUILD_FUZZERS=ON  the libFuzzer programs in tests/fuzz (clang only).
#                           Every target is compiled with coverage
#                           instrumentation and both sanitizers, so a fuzzer
#                           sees into the libraries it drives.
#                           tools/test-fuzz.sh uses it.
option(PLEMO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(PLEMO_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
option(PLEMO_BUILD_FUZZERS "Build the libFuzzer programs (clang)" OFF)

if(PLEMO_SANITIZE_THREAD)
  if(PLEMO_SANITIZE OR PLEMO_BUILD_FUZZERS)
    message(FATAL_ERROR "ThreadSanitizer does not go with the other sanitizers")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(PLEMO_SANITIZE OR PLEMO_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "The sanitizer builds need gcc or clang")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # gcc's sanitizer instrumentation makes its "may be used uninitialized"
  # analysis see ghosts in the standard library (std::regex's std::function
  # members); the plain build keeps the warning for our own code.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

if(PLEMO_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "PLEMO_BUILD_FUZZERS needs clang for libFuzzer: "
                        "configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Coverage feedback without libFuzzer's main(): only the fuzz programs
  # themselves link with -fsanitize=fuzzer (tests/fuzz).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
