// Records and entry points shared with the board's two outside libraries, "libconfig.so" (reads and
// writes "config.rc") and "libsckapi.so" (local message sockets). The supervisor binds them by name at
// run time; this header is the contract both sides keep.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int MAX_CONFIG_ITEMS = 100;
constexpr int RELEASE_TEXT_SIZE = 52;
constexpr int ITEM_TEXT_SIZE = 10;
constexpr int ITEM_START_FLAGS = 5;
constexpr int ITEM_SUFFIX_SIZE = 61;

// One item of "config.rc". The board keeps 4-byte pointers (112 bytes); here they are native.
struct ConfigItem {
    char *name;                       // directory name, ending in "_a" or "_b"
    char *second;                     // shown in the "not started" warning
    char link[ITEM_TEXT_SIZE];        // 'N': no link in "/current/"
    char start[ITEM_TEXT_SIZE];       // 'A': started at start-up
    uint8_t startFlags[ITEM_START_FLAGS];  // the first marks an item whose absence is fatal
    char *location;                   // "S", "X" or "H"
    uint8_t inSoft;                   // found under "/mnt/soft/"
    uint8_t inFlashext;               // found under "/mnt/flashext/"
    uint8_t inHdext;                  // found under "/mnt/hdext/"
    char suffix[ITEM_SUFFIX_SIZE];    // sub-configuration suffix
};

struct ItemTable {
    uint32_t count;
    uint8_t version;                  // below 2: the file is migrated
    char release[RELEASE_TEXT_SIZE];
    ConfigItem items[MAX_CONFIG_ITEMS];
};

constexpr int SCK_MESSAGE_SIZE = 1084;
constexpr int SCK_ITEM_NAME_SIZE = 20;
constexpr int SCK_PAYLOAD_SIZE = 1024;

// The record of every request, reply and notice of the message server. Integers in host order.
struct SckMessage {
    int32_t id;
    int32_t sender;                   // the sender's port
    int32_t receiver;                 // the receiver's port
    int32_t isReply;                  // set by sckMessageMakeReply; only replies are sent back
    char reserved[16];
    int32_t value;                    // process id, swap status, command
    char itemName[SCK_ITEM_NAME_SIZE];
    uint8_t success;                  // message 16's reply: 1 = done
    char pad[3];
    union {
        int32_t result;
        char payload[SCK_PAYLOAD_SIZE];
    };
};
static_assert(sizeof(SckMessage) == SCK_MESSAGE_SIZE, "SckMessage is 1084 bytes on the wire");
static_assert(offsetof(SckMessage, value) == 32 && offsetof(SckMessage, itemName) == 36 &&
                  offsetof(SckMessage, success) == 56 && offsetof(SckMessage, result) == 60,
              "SckMessage field offsets are fixed");

// The server context of sckServerInit; its fifth 32-bit word is the socket descriptor.
struct SckServerContext {
    int32_t port;
    int32_t requests;
    int32_t replies;
    int32_t reserved;
    int32_t socket;
};
static_assert(offsetof(SckServerContext, socket) == 16, "the socket is the fifth word");

using SckJobFunction = int (*)(SckMessage *request, SckMessage *reply);

extern "C" {
using confSparse_config_t = int (*)(const char *path, ItemTable *table, int maxItems);
using confSconfig_file_t = int (*)(const char *path, const ItemTable *table);
using confSfind_item_t = int (*)(const char *name, const ItemTable *table, int from);
using confSshort_basename_t = int (*)(const char *name, char *out);
using sckClientSendMessage_t = int (*)(const char *host, int port, SckMessage *request, SckMessage *reply);
using sckServerInit_t = int (*)(SckServerContext *context, int port);
using sckServerDoJob_t = int (*)(SckServerContext *context, SckJobFunction job);
using sckMessageMakeReply_t = void (*)(SckMessage *reply);
// Sends a reply made from a copy of an earlier request to that request's sender, from any thread.
using sckServerSendReply_t = int (*)(SckServerContext *context, const SckMessage *reply);
}
