// The address lists that grant management and upgrade rights ("manageaddr", "updateaddr"):
// items separated by ",", each one IPv4 address or a range "a-b" in either order, both ends
// included. Only digits, ".", "-" and "," count; every other character is dropped before parsing.
// Addresses are read as inet_addr reads them. Thread-safe.
#pragma once

#include <cstdint>

#include "foundation/string.h"

// True when the address (network byte order) matches an item of the list. The scan stops at the
// first item that is not an address, and at an item that reads as 0 (0.0.0.0). error receives
// the first problem found in the list ("Invalid IP address (...) specified", or failing that
// "Illegal character (.) specified"), or is empty; a problem never turns a match into a refusal.
bool IPAllowed(uint32_t addrNetworkOrder, const String& list, String& error);

// The same for a dotted address text; false (error empty) when the text is not an address.
bool IPAllowed(const char* dotted, const String& list, String& error);

// Takes the next item off the front of list (already reduced to list characters). from is its
// first address in host byte order, 0 when no item is left or the item is not an address (the
// list is then left as it was); to is the second address of a range, 0 for a single address or
// when the second address does not read. error is set for an address that does not read.
void getitem(String& list, uint32_t& from, uint32_t& to, String& error);

// True for '0' to '9', '.', '-' and ','.
bool islistsetchar(char c);

// The connection filter: true when the peer's dotted text equals one of the entries of the active
// filter list (CR LF, then every active entry followed by CR LF). Entries are compared whole, as
// text: 10.0.0.10 admits 10.0.0.10 only, never 10.0.0.1.
bool FilterAdmits(const String& activeList, const char* peer);
