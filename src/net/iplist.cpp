#include "net/iplist.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool EndsAddress(char c) {
    return c == ',' || c == '-';
}

// inet_addr of the text (reentrant: it keeps no state), in host byte order. The all-ones address
// is inet_addr's failure value and so fails too.
bool ReadAddress(const String& text, uint32_t& hostOrder) {
    String terminated(text);
    terminated.SetZero();
    in_addr_t address = inet_addr(terminated.Data() != nullptr ? terminated.Data() : "");
    if (address == INADDR_NONE) return false;
    hostOrder = ntohl(address);
    return true;
}

String InvalidAddress(const String& text) {
    String error("Invalid IP address (");
    error += text;
    error += ") specified";
    return error;
}

// 1-based position of the first ',' or '-' at or after start, or length + 1.
int AddressEnd(const String& list, int start) {
    int i = start;
    while (i <= list.Length() && !EndsAddress(list[i])) i++;
    return i;
}

}  // namespace

bool islistsetchar(char c) {
    return IsDigit(c) || c == '.' || c == '-' || c == ',';
}

void getitem(String& list, uint32_t& from, uint32_t& to, String& error) {
    from = 0;
    to = 0;
    int start = 1;
    while (start <= list.Length() && !IsDigit(list[start])) start++;
    if (start > list.Length()) return;

    int end = AddressEnd(list, start);
    String first = list.Copy(start, end - start);
    uint32_t address = 0;
    if (!ReadAddress(first, address)) {
        error = InvalidAddress(first);
        return;
    }
    from = address;

    // A "-" as the very last character leaves the item a single address.
    if (end < list.Length() && list[end] == '-') {
        int secondEnd = AddressEnd(list, end + 1);
        String second = list.Copy(end + 1, secondEnd - end - 1);
        if (ReadAddress(second, address))
            to = address;
        else
            error = InvalidAddress(second);
        end = secondEnd;
    }
    // Everything up to and including the character that ended the item goes.
    list.Delete(1, end);
}

bool IPAllowed(uint32_t addrNetworkOrder, const String& list, String& error) {
    error = String();
    bool allowed = false;
    const uint32_t address = ntohl(addrNetworkOrder);

    String work;
    for (int i = 1; i <= list.Length(); i++)
        if (islistsetchar(list[i])) work += list[i];

    while (!allowed) {
        uint32_t from = 0;
        uint32_t to = 0;
        String itemError;
        getitem(work, from, to, itemError);
        if (error.Length() == 0) error = itemError;
        if (from == 0) break;
        if (to != 0) {
            uint32_t low = from < to ? from : to;
            uint32_t high = from < to ? to : from;
            allowed = address >= low && address <= high;
        } else {
            allowed = address == from;
        }
    }
    if (error.Length() > 0) return allowed;

    for (int i = 1; i <= list.Length(); i++) {
        if (!islistsetchar(list[i])) {
            error = "Illegal character (";
            error += list[i];
            error += ") specified";
            break;
        }
    }
    return allowed;
}

bool IPAllowed(const char* dotted, const String& list, String& error) {
    error = String();
    if (dotted == nullptr) return false;
    in_addr_t address = inet_addr(dotted);
    if (address == INADDR_NONE) return false;
    return IPAllowed(static_cast<uint32_t>(address), list, error);
}

bool FilterAdmits(const String& activeList, const char* peer) {
    if (peer == nullptr || *peer == '\0') return false;
    // Every entry sits between CR LF pairs, so the peer's text framed by them matches whole
    // entries only.
    String framed("\r\n");
    framed += peer;
    framed += "\r\n";
    return activeList.Pos(framed) != 0;
}
