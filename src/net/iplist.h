// The agent's address lists: the connection filter ("filterlist" with "filtermarks") and the right
// lists ("manageaddr", "updateaddr"). An entry is an IPv4 or IPv6 address, a range "a-b" of one
// family in either order (both ends included), or a prefix "192.0.2.0/24", "2001:db8::/32". An
// entry that is none of these matches nothing and leaves the other entries working. Thread-safe.
#pragma once

#include <string>
#include <vector>

#include "foundation/peer_address.h"
#include "foundation/string.h"

// One entry read: every address from `low` to `high` (network byte order, compared as numbers)
// of `family`.
struct AddressRange {
    int family = AF_INET;
    unsigned char low[16] = {};
    unsigned char high[16] = {};

    bool Contains(const PeerAddress& peer) const;
};

// How IPv4 addresses read: right lists take them as inet_addr does ("127.1", "0177.0.0.1"), as
// they always have; the filter takes the dotted form the peer shows only.
enum class V4Form { Lenient, Dotted };

// Reads one entry (blanks, tabs and line ends inside it are ignored; "a-" is the address a).
// False when the entry is none of the forms above.
bool ParseAddressEntry(const std::string& entry, V4Form form, AddressRange& range);

// Right lists: entries separated by ",". True when `peer` lies in an entry. `error` receives
// "Invalid IP address (<entry>) specified" for the first entry that does not read, or is empty;
// such an entry never turns a match into a refusal.
bool IPAllowed(const PeerAddress& peer, const String& list, String& error);
// The same for an address text (IPv4 or IPv6); false (error empty) when it is not an address.
bool IPAllowed(const char* address, const String& list, String& error);

// The connection filter: true when the peer lies in an entry of the active filter list (CR LF,
// then every active entry followed by CR LF).
bool FilterAdmits(const String& activeList, const PeerAddress& peer);

// The entries of a right list (`filter` false) or of a filter list (entries separated by blanks
// or line ends) that are none of the forms, as written.
std::vector<std::string> UnreadableEntries(const String& list, bool filter);

// One line per unreadable entry of the three lists, naming the setting and the entry:
// manageaddr: "localhost" is not an address, a range a-b or a prefix; it matches nothing
std::vector<std::string> AddressListWarnings(const String& filterlist, const String& manageaddr,
                                             const String& updateaddr);
