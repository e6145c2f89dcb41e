// Writes a stub's identity (see tools/packaging/stub_identity.h) to a file: the
// 64 hexadecimal digits and a line break, as "tvkpack stub-id" prints them.
// A host program of the Windows builds, which write the identity of the stub
// they make beside it.
//   stub_id STUB OUTPUT
#include <fstream>
#include <iostream>
#include <iterator>

#include "tools/packaging/stub_identity.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: stub_id STUB OUTPUT\n";
        return 2;
    }
    std::ifstream input(argv[1], std::ios::binary);
    if (!input.is_open()) {
        std::cerr << "stub_id: cannot open " << argv[1] << "\n";
        return 1;
    }
    const packaging::Bytes image((std::istreambuf_iterator<char>(input)),
                                 std::istreambuf_iterator<char>());
    try {
        const std::string identity = packaging::StubIdentity(package_writer::BytesSource(image));
        std::ofstream output(argv[2], std::ios::binary | std::ios::trunc);
        output << identity << "\n";
        output.close();
        if (!output) {
            std::cerr << "stub_id: cannot write " << argv[2] << "\n";
            return 1;
        }
    } catch (const std::exception& error) {
        std::cerr << "stub_id: " << argv[1] << ": " << error.what() << "\n";
        return 1;
    }
    return 0;
}
