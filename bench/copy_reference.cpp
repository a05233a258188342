// The yardstick for the update pass: copies the same sequence of files with CopyFileA alone.
// usage: copy_reference SOURCE_FOLDER DESTINATION_FOLDER LIST_FILE
// LIST_FILE holds one name a line, in the order the updater handles them.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: copy_reference SOURCE_FOLDER DESTINATION_FOLDER LIST_FILE\n");
        return 2;
    }
    std::vector<std::string> names;
    FILE *list = fopen(argv[3], "rb");
    if (list == nullptr) {
        fprintf(stderr, "cannot read %s\n", argv[3]);
        return 2;
    }
    char line[512];
    while (fgets(line, sizeof line, list) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] != '\0')
            names.push_back(line);
    }
    fclose(list);

    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    int failures = 0;
    for (const std::string &name : names) {
        std::string source = std::string(argv[1]) + "\\" + name;
        std::string destination = std::string(argv[2]) + "\\" + name;
        if (!CopyFileA(source.c_str(), destination.c_str(), FALSE))
            ++failures;
    }
    QueryPerformanceCounter(&end);
    printf("copy_ms=%.1f\nfiles=%u\nfailures=%d\n",
           static_cast<double>(end.QuadPart - begin.QuadPart) * 1000.0 /
               static_cast<double>(frequency.QuadPart),
           static_cast<unsigned>(names.size()), failures);
    return failures == 0 ? 0 : 1;
}
