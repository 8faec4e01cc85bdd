# Hardening: the flags Debian builds its own packages with, as dpkg-buildflags gives them
# for hardening=+all (fortified libc calls, stack protector, format checks, full RELRO
# with immediate binding). Executables are position-independent by Debian's compiler
# default, which is why dpkg-buildflags adds nothing for it; the package test checks it.
#
# Fortify works on optimized code only, so a Debug build goes without it; so does a
# sanitizer build, whose runtime checks the same calls itself. Without dpkg-buildflags
# (not a Debian system) the same flags are set by hand.

set(hardening hardening=+all)
if(TESMAR_SANITIZE OR CMAKE_BUILD_TYPE STREQUAL "Debug")
  string(APPEND hardening ",-fortify")
endif()

find_program(DPKG_BUILDFLAGS dpkg-buildflags)
find_program(DPKG_ARCHITECTURE dpkg-architecture)
if(DPKG_BUILDFLAGS)
  # The flags depend on the architecture built for, not the one building.
  set(host_arch_env "")
  if(DPKG_ARCHITECTURE AND CMAKE_CXX_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND ${DPKG_ARCHITECTURE} -t ${CMAKE_CXX_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE host_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(host_arch)
      set(host_arch_env DEB_HOST_ARCH=${host_arch})
    endif()
  endif()
  # Only the hardening: optimization and debug information stay with the build type, and
  # source paths stay as they are.
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env ${host_arch_env}
              "DEB_BUILD_MAINT_OPTIONS=${hardening} reproducible=-fixfilepath,-fixdebugpath"
              "DEB_CXXFLAGS_MAINT_STRIP=-g -O2" ${DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
    endif()
    separate_arguments(hardening_${kind} UNIX_COMMAND "${flags}")
  endforeach()
else()
  set(hardening_CPPFLAGS -D_FORTIFY_SOURCE=2)
  if(hardening MATCHES "-fortify")
    set(hardening_CPPFLAGS "")
  endif()
  set(hardening_CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
  set(hardening_LDFLAGS -Wl,-z,relro -Wl,-z,now)
endif()
message(STATUS "Hardening: ${hardening_CPPFLAGS} ${hardening_CXXFLAGS} ${hardening_LDFLAGS}")
add_compile_options(${hardening_CPPFLAGS} ${hardening_CXXFLAGS})
add_link_options(${hardening_LDFLAGS})
