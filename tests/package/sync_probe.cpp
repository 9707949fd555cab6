// A one-file program built with nothing but `pkg-config --cflags --libs serport`: it sends the
// sync request to a target and prints the reply, so the installed archive must link with the
// flags it publishes and its worker thread must move bytes both ways.
#include <serport.h>

#include <cstdio>
#include <string>

namespace {

// Raises the port's own message for a failed operation.
int checked(int memberId, int result) {
    if (result < 0) throw SerPort_Exception(memberId, result);
    return result;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sync_probe <device>\n");
        return 2;
    }
    try {
        SerPort port;
        checked(SERPORT_ID_OPEN, port.Open(argv[1], 115200, "8N1", 4));
        const char request = 'x';
        checked(SERPORT_ID_WRITE, port.Write(&request, 1));
        checked(SERPORT_ID_WAITFORWRITES, port.WaitForWrites());
        std::string reply;
        while (reply.size() < 5 && checked(SERPORT_ID_WAITFORREADS, port.WaitForReads(2000)) > 0) {
            char byte;
            while (checked(SERPORT_ID_READ, port.Read(&byte, 1)) == 1) reply += byte;
        }
        std::printf("reply: %s\n", reply.c_str());
        return reply == "dsc01" ? 0 : 1;
    } catch (const SerPort_Exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
