# Cross-compiling the Windows program (64-bit) with mingw-w64 on Linux. ctest starts the
# programs built here under Wine, through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QP7730_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex, which the image decoding uses.
set(CMAKE_C_COMPILER ${QP7730_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QP7730_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QP7730_MINGW_TRIPLET}-windres)

# Libraries and headers come from the mingw-w64 tree and from the prefix the Windows
# dependencies are installed in (scripts/windows-deps.sh); programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${QP7730_MINGW_TRIPLET} ${QP7730_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC does not align the Windows stack for 32-byte vectors: have the assembler spill AVX
# registers with unaligned moves, so that the AVX2 paths cannot fault on a spill.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# One self-contained executable: the C and C++ runtimes and winpthreads linked in, so the
# program needs only the DLLs of Windows itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built here run under Wine, in a prefix of the build directory's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
