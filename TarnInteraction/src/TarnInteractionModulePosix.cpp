// The shared library's own part where it has no entry function: loading and unloading do nothing of
// the library's own, and a shared object still held at unload is not destroyed. The library itself
// is the core, linked in whole.
