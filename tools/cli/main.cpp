// quillon: moves a device's settings between the device and this computer, from the command line.
#include "App.h"

int main(int argc, char** argv) { return quillon::cli::Run(argc, argv); }
