# Installation: the public headers, the two shared libraries, a CMake package and a pkg-config file.
# (Completed with the packaging work.)
