#include "gpioctl.h"

int main(int argc, char **argv)
{
    return gpioctl_main(argc, argv);
}
