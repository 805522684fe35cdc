/* A main for the fuzz targets when no fuzzing engine is linked: runs every
 * file named on the command line, or every file of each folder named, once
 * through LLVMFuzzerTestOneInput. It keeps the kept corpus a regression test
 * of the ordinary build (and of the sanitizer build). Exit 0 after all ran;
 * a fault in the target ends the process as it would under the fuzzer. */
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int RunFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    static const uint8_t none = 0;   /* an empty input still has an address, as under the fuzzer */
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            runs += RunFile(argv[i]);
            continue;
        }
        DIR *dir = opendir(argv[i]);
        while (const dirent *e = dir ? readdir(dir) : nullptr)
            if (e->d_name[0] != '.')
                runs += RunFile(std::string(argv[i]) + "/" + e->d_name);
        if (dir)
            closedir(dir);
    }
    printf("replay: %d inputs ran\n", runs);
    return runs > 0 ? 0 : 1;
}
