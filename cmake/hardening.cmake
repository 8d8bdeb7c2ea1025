# SPDX-License-Identifier: MIT
# The hardening that dpkg-buildflags gives a Debian 12 package, as the
# default of every optimised build (Release, RelWithDebInfo, MinSizeRel), so
# that a tree built as the README says is as hardened as the package:
#
#   -fstack-protector-strong, and -fstack-clash-protection and -fcf-protection
#   where the compiler knows them
#   -D_FORTIFY_SOURCE=2 (it needs optimisation; not in the sanitizer and
#   fuzz builds, whose sanitizers watch the same calls themselves)
#   -Wformat -Werror=format-security
#   position-independent executables (in every build type)
#   -Wl,-z,relro -Wl,-z,now
#
# The libraries get the compiler flags too, so plugins built on them outside
# this tree are as hardened as ours. Flags given in CFLAGS/CXXFLAGS come
# first; a _FORTIFY_SOURCE given there is kept.
if(NOT KIVREL_HARDENING)
  return()
endif()
include(CheckCCompilerFlag)
include(CheckPIESupported)

set(hardened "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
set(hardening_flags -fstack-protector-strong -Wformat -Werror=format-security)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "KIVREL_HAS${flag}" known)
  check_c_compiler_flag(${flag} ${known})
  if(${known})
    list(APPEND hardening_flags ${flag})
  endif()
endforeach()
if(NOT KIVREL_SANITIZE AND NOT KIVREL_FUZZ AND NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE")
  list(APPEND hardening_flags -D_FORTIFY_SOURCE=2)
endif()
foreach(flag IN LISTS hardening_flags)
  add_compile_options("$<${hardened}:${flag}>")
endforeach()
add_link_options("$<${hardened}:-Wl,-z,relro>" "$<${hardened}:-Wl,-z,now>")

check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
unset(hardened)
unset(hardening_flags)
