// Fontconfig keeps its configuration for the life of the process (Qt never calls FcFini),
// so LeakSanitizer would report it at exit in every test that draws text.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
