#include "ui/MyForm.hpp"

int main(int argc, char* argv[]) { return Main(argc, argv); }
