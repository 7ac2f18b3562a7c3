// The daemon's stored connections: the record KelvCon and the file connects.json.
#pragma once

#include <map>
#include <string>

struct KelvCon
{
    int seq = 0;          // key in the map; always equal to the record's position 0, 1, ...
    std::string remote;   // client ID of the remote device (peer "_DEV_<remote>@<own group>")
    std::string srvip;    // host part of the service address behind the peer
    int srvport = 0;
    std::string cliip;    // host part of the local listen address
    int cliport = 0;
    int flag = 0;         // bit 0: connection type (0 plain TCP, 1 proxy); bit 1: encryption

    KelvCon() = default;
    KelvCon(const KelvCon&) = default;
    KelvCon(KelvCon&&) = default;
    KelvCon& operator=(const KelvCon&) = default;
    KelvCon& operator=(KelvCon&&) = default;
    ~KelvCon() = default;

    // Equal in the five fields a user gives.
    bool SameTarget(const KelvCon& other) const
    {
        return remote == other.remote && srvip == other.srvip && srvport == other.srvport &&
               cliip == other.cliip && cliport == other.cliport;
    }
};

using KelvConMap = std::map<int, KelvCon>;

// Bounds of a stored record: a peer ID and the address texts must fit the library's 128- and
// 64-byte fields, and the list must stay small.
enum
{
    KELVCON_MAX_COUNT = 256,
    KELVCON_MAX_REMOTE = 100,
    KELVCON_MAX_HOST = 57,  // "host:65535" within 63 characters
};

// True when a record's fields are within the bounds above and its ports are 0-65535.
bool kelvcon_valid(const KelvCon& con);

// Keys renumbered 0, 1, ... in key order.
void kelvcon_renumber(KelvConMap& cons);

// Replaces the map's content with the file's records. The map is unchanged (false) when the
// file cannot be read or is not an object holding a `connections` array. Elements that are no
// valid record are skipped; of several with the same seq the first stays; at most
// KELVCON_MAX_COUNT are taken; the keys are then renumbered to their positions.
bool load_connects_cfg(const char* lpszPath, KelvConMap& cons);

// Writes the map (seq = position) as one compact line, creating the file when it does not
// exist; the old content is replaced in one step. False when writing failed.
bool save_connects_cfg(const char* lpszPath, const KelvConMap& cons);
