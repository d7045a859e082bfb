// The LAN-traffic regulator: an nftables set of admitted IPv4 addresses
// (table inet SIPTRUNK_NFT_TABLE, set SIPTRUNK_NFT_SET, type ipv4_addr), driven
// over netfilter netlink. Needs CAP_NET_ADMIN.
//
// The 4-byte handle holds the netlink socket (-1: closed). Calls on one handle
// from several threads are serialised inside. Adding an address already in the
// set succeeds; removing one that is not in it fails. An add recreates the
// table and the set when they have been deleted under the agent.
#pragma once

#include <netinet/in.h>
#include <cstdint>

typedef int32_t ARPNL_HANDLE;
static_assert(sizeof(ARPNL_HANDLE) == 4, "the regulator handle is 4 bytes");

// Opens the regulator, makes sure the table and set exist and empties the set
// (the agent admits the registered slaves again). 0 on success,
// -1 on failure (for instance without CAP_NET_ADMIN); the handle is -1 then.
int arpnl_open(ARPNL_HANDLE* handle);
// address: IPv4, network byte order. >= 0 success, < 0 failure.
int arpnl_addaddr(ARPNL_HANDLE* handle, in_addr_t address);
int arpnl_deladdr(ARPNL_HANDLE* handle, in_addr_t address);
// Closes the socket (the set keeps its contents). 0, or -1 for a closed handle.
int arpnl_close(ARPNL_HANDLE* handle);
