/* A statically linked program: no dynamic linker would load the library into
   it, so the launcher supervises it instead. */
#include <stdio.h>

int main(void)
{
    puts("static program ran");
    return 0;
}
