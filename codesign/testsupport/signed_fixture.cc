// A program that does nothing, signed by the build (see CMakeLists.txt).
int main() { return 0; }
