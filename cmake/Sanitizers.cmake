# Sanitizer flags as interface targets.
#
# korlan_sanitize goes on every target built from our sources: the library,
# the program, the tests, the benchmark and the fuzz targets, so that all of
# one build is instrumented alike and links the same runtime. It is empty
# when no sanitizer is chosen.
#
# korlan_fuzzer adds the libFuzzer driver; only the fuzz targets link it.
add_library(korlan_sanitize INTERFACE)
add_library(korlan_fuzzer INTERFACE)

# ThreadSanitizer keeps its own shadow memory where AddressSanitizer keeps
# its: the two cannot share a process.
if(KORLAN_TSAN AND (KORLAN_SANITIZE OR KORLAN_FUZZ))
  message(FATAL_ERROR
    "KORLAN_TSAN cannot be combined with KORLAN_SANITIZE or KORLAN_FUZZ: "
    "ThreadSanitizer and AddressSanitizer cannot run in one process")
endif()

if(KORLAN_FUZZ OR KORLAN_SANITIZE)
  set(checks address,undefined)
elseif(KORLAN_TSAN)
  set(checks thread)
endif()

if(checks)
  # A sanitizer report ends the run: a test that passes has no report.
  set(compile_flags -fsanitize=${checks} -fno-omit-frame-pointer)
  if(checks MATCHES undefined)
    list(APPEND compile_flags -fno-sanitize-recover=all)
  endif()
  if(KORLAN_FUZZ)
    # Coverage instrumentation for everything the fuzzers reach; the driver
    # and its main come with korlan_fuzzer.
    list(APPEND compile_flags -fsanitize=fuzzer-no-link)
  endif()
  target_compile_options(korlan_sanitize INTERFACE ${compile_flags})
  target_link_options(korlan_sanitize INTERFACE -fsanitize=${checks})
endif()

if(KORLAN_FUZZ)
  target_compile_options(korlan_fuzzer INTERFACE -fsanitize=fuzzer)
  target_link_options(korlan_fuzzer INTERFACE -fsanitize=fuzzer)
endif()
