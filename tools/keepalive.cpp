// Keeps a Wine session alive: its services live only while an ordinary
// program of the prefix runs. Sleeps until it is terminated.
#include <windows.h>

int main()
{
    Sleep(INFINITE);
    return 0;
}
