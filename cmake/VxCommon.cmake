# Windows builds keep what turns a crash report's addresses into functions and
# lines: each program is built with line tables (-g1) and its DWARF goes into
# <program>.debug beside it; the program itself is stripped of it and names
# the file (.gnu_debuglink). tools/symbolize.sh reads them.
function(vx_keep_debug_info target)
  if(NOT WIN32 OR MSVC OR NOT CMAKE_OBJCOPY)
    return()
  endif()
  target_compile_options(${target} PRIVATE -g1)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-debug --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
              $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()

# Compiler settings shared by every target of our own.

# Every text literal of the core is Windows-1251; sources are UTF-8.
function(vx_target_settings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /source-charset:utf-8
      /execution-charset:windows-1251)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
      -Wconversion -Wno-sign-conversion -Werror)
    # clang only knows UTF-8 as execution character set; it builds the fuzz
    # targets only, where the bytes of the texts do not matter.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -finput-charset=UTF-8 -fexec-charset=CP1251)
    endif()
  endif()
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  vx_keep_debug_info(${target})
  if(VX_SANITIZE)
    target_compile_options(${target} PUBLIC -fsanitize=address,undefined
      -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PUBLIC -fsanitize=address,undefined)
  endif()
  # Coverage for the fuzzer in every library it drives, not only in the
  # target's own file: without it the fuzzer cannot see what its inputs reach.
  if(VX_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# ThreadSanitizer: everything is instrumented, GoogleTest included, so that
# every lock and hand-over in the process is seen. -O1 keeps it quick enough.
if(VX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -O1)
  add_link_options(-fsanitize=thread)
endif()

# A static library of one layer.
function(vx_library name)
  add_library(${name} STATIC ${ARGN})
  vx_target_settings(${name})
endfunction()

# Windows programs are single files: no runtime DLLs of ours.
if(WIN32 AND NOT MSVC)
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# A GoogleTest program. Natively each test is its own CTest entry; in the cross
# builds the whole program is one entry that runs under the emulator (Wine),
# since starting Wine once per test would be slow.
function(vx_add_gtest target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
  else()
    include(GoogleTest)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
