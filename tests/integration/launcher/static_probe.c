/* A statically linked program: the launcher must refuse it, since no dynamic
   linker would load the library into it. */
#include <stdio.h>

int main(void)
{
    puts("static program ran");
    return 0;
}
