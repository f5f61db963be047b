# Cross-compiling the 64-bit Windows programs (decoding server, indexer, command-line host) with
# MinGW-w64's posix thread model: GCC 12's win32 model has no std::thread, std::mutex or
# std::condition_variable, which the decoding server uses. The thread library (winpthreads) is
# linked statically like the rest of the runtime, so the programs still need system DLLs only.
# The plugin DLL keeps the win32 model (cmake/toolchain-mingw-x86_64.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
