# Compiler flags of every jadefox target, shared by the module build
# (CMakeLists.txt) and the core's unit tests (tests/core/CMakeLists.txt):
# warnings, strict IEEE double arithmetic, SSE2 on 32-bit x86, sanitizers.
#
#   JADEFOX_WERROR     warnings are errors
#   JADEFOX_SANITIZE   sanitizers, e.g. "address,undefined" or "thread" (empty: none)

option(JADEFOX_WERROR "Treat compiler warnings as errors" OFF)
set(JADEFOX_SANITIZE "" CACHE STRING
    "Sanitizers for the core and the module, e.g. address,undefined (empty: none)")

# Results must be bit-identical on every platform, so nothing may relax IEEE
# semantics. Refuse flags injected from outside rather than silently ship them.
foreach(var CMAKE_CXX_FLAGS CMAKE_CXX_FLAGS_RELEASE CMAKE_CXX_FLAGS_RELWITHDEBINFO
            CMAKE_CXX_FLAGS_DEBUG CMAKE_MODULE_LINKER_FLAGS CMAKE_SHARED_LINKER_FLAGS
            CMAKE_EXE_LINKER_FLAGS)
  if("${${var}}" MATCHES "fast-math|-Ofast|unsafe-math")
    message(FATAL_ERROR "${var} contains a fast-math style flag ('${${var}}'); "
                        "jadefox needs strict IEEE double arithmetic")
  endif()
endforeach()

# 32-bit x86 compilers keep doubles in 80-bit x87 registers by default, which
# rounds twice and changes results. Ask the compiler itself: CMAKE_SYSTEM_PROCESSOR
# reports the host kernel (x86_64 inside an i386 chroot), not the target.
set(JADEFOX_X86_32 OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  include(CheckCXXSourceCompiles)
  check_cxx_source_compiles([=[
    #ifndef __i386__
    #error not 32-bit x86
    #endif
    int main() { return 0; }
  ]=] JADEFOX_COMPILER_IS_I386)
  if(JADEFOX_COMPILER_IS_I386)
    set(JADEFOX_X86_32 ON)
  endif()
endif()

function(jadefox_target_flags target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # No contraction of a*b+c into one fused operation: each element must be
  # exactly the two roundings the arithmetic asks for.
  target_compile_options(${target} PRIVATE -Wall -Wextra -ffp-contract=off)
  # Builds run in throwaway directories (pip's, an unpacked sdist's). Mapping
  # them away keeps the build machine's paths out of the binary, makes two
  # builds of one tree byte-identical wherever they run, and lets the
  # internal-failure diagnostic name files as the tree does (module/errors.cpp).
  target_compile_options(${target} PRIVATE
    "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/="
    "-ffile-prefix-map=${PROJECT_BINARY_DIR}/=build/")
  if(JADEFOX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(JADEFOX_X86_32)
    target_compile_options(${target} PRIVATE -msse2 -mfpmath=sse)
  endif()
  if(JADEFOX_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=${JADEFOX_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=${JADEFOX_SANITIZE})
  endif()
endfunction()
