# Cross build for s390x, a big-endian CPU, with the tests run under qemu
# user-mode emulation. S390X_TREE (a cache variable or the environment
# variable of that name) is a folder laid out with the target's libraries and
# headers (zlib, OpenSSL, GoogleTest): scripts/test-big-endian.sh makes it.
# Everything links statically: the cross compiler's C library and the tree's
# would otherwise meet at run time.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

# try_compile projects read this file again; hand the tree on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES S390X_TREE)
if(NOT S390X_TREE)
  set(S390X_TREE "$ENV{S390X_TREE}")
endif()
if(NOT S390X_TREE OR NOT IS_DIRECTORY "${S390X_TREE}/usr/include")
  message(FATAL_ERROR "S390X_TREE must name a folder with the target's usr/include and usr/lib")
endif()
set(S390X_TREE "${S390X_TREE}" CACHE PATH "Folder with the s390x libraries and headers")

# Libraries, headers and package files come from the tree only; programs
# (the code generators of the build) from this machine.
set(CMAKE_FIND_ROOT_PATH "${S390X_TREE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ZLIB_USE_STATIC_LIBS ON)
set(OPENSSL_USE_STATIC_LIBS ON)
# OpenSSL keeps its configuration header in the multiarch folder; searched
# last, so the compiler's own headers win wherever both have one.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${S390X_TREE}/usr/include/s390x-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(S390X_EMULATOR NAMES qemu-s390x qemu-s390x-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${S390X_EMULATOR}")
