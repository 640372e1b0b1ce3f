// fontconfig keeps a few bytes of its configuration for the life of the
// process, reachable only from inside the library; LeakSanitizer counts them
// at exit. Nothing of ours is hidden by this.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
