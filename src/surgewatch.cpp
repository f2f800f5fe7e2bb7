#include "main.h"

int main(int argc, char** argv) { return monitorMain(argc, argv); }
