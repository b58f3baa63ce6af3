/* A small real Windows DLL: executable code the classification must not count as a program. */
__declspec(dllexport) int SampleValue(void)
{
    return 42;
}
