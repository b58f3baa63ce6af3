/* A do-nothing DLL that the cleanup tests load under the runtime library's name. */
__declspec(dllexport) int QfCleanupProbe(void)
{
    return 42;
}
