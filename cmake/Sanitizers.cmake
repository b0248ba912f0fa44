# VODA_SANITIZE: builds every target of the project with a sanitizer.
#   address  AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer
#   thread   ThreadSanitizer
# Empty (the default) builds without. Undefined behaviour stops the program instead of being reported
# and passed over, so that a test which meets it fails. scripts/sanitize.sh builds and runs either.
set(VODA_SANITIZE "" CACHE STRING "Sanitizer build: empty, address (ASan+UBSan) or thread (TSan)")
set_property(CACHE VODA_SANITIZE PROPERTY STRINGS "" address thread)

if(VODA_SANITIZE STREQUAL "")
  return()
endif()
if(VODA_FUZZ)
  message(FATAL_ERROR "VODA_SANITIZE and VODA_FUZZ do not go together: the fuzz build has its own sanitizers")
endif()

if(VODA_SANITIZE STREQUAL "address")
  set(voda_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined)
elseif(VODA_SANITIZE STREQUAL "thread")
  set(voda_sanitize_flags -fsanitize=thread)
else()
  message(FATAL_ERROR "VODA_SANITIZE must be empty, address or thread, not '${VODA_SANITIZE}'")
endif()

# Frame pointers give the sanitizers' reports whole stacks at little cost.
add_compile_options(${voda_sanitize_flags} -fno-omit-frame-pointer)
add_link_options(${voda_sanitize_flags})
# g++'s instrumentation hides initialisations from its own flow analysis: -Wmaybe-uninitialized then warns
# inside the standard library (std::regex building its std::function states). The plain build keeps the
# warning; only the instrumented one, which is not there to check warnings, goes without it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-maybe-uninitialized)
endif()
message(STATUS "Sanitizer build: ${VODA_SANITIZE} (${voda_sanitize_flags})")
