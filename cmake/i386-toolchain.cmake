# A 32-bit x86 build on an x86-64 Debian machine: the distribution's i686
# cross compiler against its i386 libraries (zlib, OpenSSL, GoogleTest under
# /usr/lib/i386-linux-gnu). The machine runs the programs natively, so the
# suite runs as it does in a native build; scripts/test-32-bit.sh uses this
# file. The router runs the installer as a 32-bit program: this build shows
# where a size, an offset or a shift holds only in a 64-bit type.
#
# The cross compiler rather than the host compiler's -m32: Debian's
# multilib packages conflict with every cross compiler, the s390x one of the
# big-endian run among them; the cross compilers go together.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

# pkg-config (which the OpenSSL search asks first) reads the i386 package
# files only, so that it names no 64-bit library.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
