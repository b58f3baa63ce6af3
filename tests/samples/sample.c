/* A small real Windows program; the tests copy it and write marker bytes into the copies. */
#include <stdio.h>

int main(int argc, char **argv)
{
    (void)argv;
    printf("sample program, %d argument(s)\n", argc - 1);
    return 0;
}
