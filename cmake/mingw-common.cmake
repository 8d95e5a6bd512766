# Shared part of the two mingw-w64 toolchains. The -posix compilers are the
# ones whose libstdc++ has std::thread and std::mutex.
set(CMAKE_C_COMPILER ${RYN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RYN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RYN_MINGW_TRIPLE}-windres)
set(RYN_WIDL ${RYN_MINGW_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${RYN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
