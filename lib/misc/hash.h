/* A small fixed-size chained hash table: a power-of-two number of buckets,
 * each a circular doubly linked chain of (key, value) entries. Used by the
 * request lookup caches and the directory search.
 *
 * Ownership: the table never copies keys; a key must stay valid while its
 * entry is in the table. Values belong to the table once inserted and are
 * released with the table's free function by Hash_Free (Hash_Remove hands
 * them back untouched).
 *
 * Allocation failure and misuse at creation (bucket count, key type) print a
 * message to stderr and abort the process. Not thread-safe: a table belongs
 * to one thread at a time. */
#ifndef QUENSC_MISC_HASH_H
#define QUENSC_MISC_HASH_H

#include <cstdint>

/* Key types of Hash_Alloc. */
enum HashKeyType {
    HASH_KEY_STRING = 0,        /* zero-terminated text, compared case-sensitively */
    HASH_KEY_STRING_NOCASE = 1, /* zero-terminated text, compared ignoring case */
    HASH_KEY_POINTER = 2,       /* the key pointer itself */
};

/* Releases one value; called by Hash_Free. */
typedef void (*HashFreeFn)(void *value);

struct HashTable;

/* Creates an empty table. numBuckets must be a power of two (1, 2, 4, ...);
 * anything else prints "Hash_Alloc only takes powers of 2 \n" and aborts.
 * An unknown keyType prints "NOT_REACHED" and aborts. freeFn may be null
 * (values are then not released). Never returns null: out of memory prints
 * "MEM_ALLOC file:line" and aborts. */
HashTable *Hash_Alloc(int numBuckets, int keyType, HashFreeFn freeFn);

/* Adds key -> value. Returns false, changing nothing, when an equal key is
 * already present or when a text key is null. The key is not copied; the
 * value now belongs to the table. A null value can be stored, but then
 * Hash_Lookup cannot tell it from a miss. Out of memory aborts. */
bool Hash_Insert(HashTable *table, const void *key, void *value);

/* The value stored under key, or null when there is none (or key is a null
 * text). The value stays owned by the table. */
void *Hash_Lookup(const HashTable *table, const void *key);

/* Unlinks the entry of key and frees the entry. Does NOT call the free
 * function: the value goes back to the caller, who releases it (look it up
 * first to get it). Returns false when there is no such key. */
bool Hash_Remove(HashTable *table, const void *key);

/* Number of entries in the table. */
int Hash_Count(const HashTable *table);

/* Calls the free function on every non-null value, then frees the entries,
 * the buckets and the table. Null is fine. */
void Hash_Free(HashTable *table);

/* The 32-bit text hash: h = 0; for each byte c (lowered first when
 * lowerCase), h = rotate-left-5(h XOR c). Exposed for tests. */
uint32_t Hash_String(const char *key, bool lowerCase);

/* The bucket a key falls in: its hash folded into [0, numBuckets) by
 * repeatedly XOR-ing the high bits onto the low bits. Exposed for tests. */
uint32_t Hash_Index(const HashTable *table, const void *key);

#endif
