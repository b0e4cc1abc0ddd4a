#include "app/program.hpp"

int main() {
    return runProgram();
}
