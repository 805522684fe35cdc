/* The chained hash table of hash.h: hashing, bucket folding, the circular
 * doubly linked chains and the fatal checks at creation. */
#include "hash.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <cstring>

struct HashEntry {
    HashEntry *next;
    HashEntry *prev;
    const void *key;
    void *value;
};

struct HashTable {
    int numBuckets;
    int bits;           /* log2(numBuckets) */
    int keyType;
    int count;
    HashFreeFn freeFn;
    HashEntry **buckets; /* each the head of a circular chain, or null */
};

#define HASH_MEM_ALLOC_FAILED() \
    do { fprintf(stderr, "MEM_ALLOC %s:%d\n", __FILE__, __LINE__); abort(); } while (0)

[[noreturn]] static void NotReached(void)
{
    fputs("NOT_REACHED", stderr);
    abort();
}

static bool IsTextKey(int keyType)
{
    return keyType == HASH_KEY_STRING || keyType == HASH_KEY_STRING_NOCASE;
}

/* Equality under the table's key type. */
static bool KeysEqual(const HashTable *table, const void *a, const void *b)
{
    switch (table->keyType) {
    case HASH_KEY_STRING: return strcmp((const char *)a, (const char *)b) == 0;
    case HASH_KEY_STRING_NOCASE: return strcasecmp((const char *)a, (const char *)b) == 0;
    case HASH_KEY_POINTER: return a == b;
    }
    NotReached();
}

/* The chain entry holding key, or null. */
static HashEntry *FindEntry(const HashTable *table, const void *key, uint32_t index)
{
    HashEntry *head = table->buckets[index];
    HashEntry *e = head;
    if (!e)
        return nullptr;
    do {
        if (KeysEqual(table, e->key, key))
            return e;
        e = e->next;
    } while (e != head);
    return nullptr;
}

HashTable *Hash_Alloc(int numBuckets, int keyType, HashFreeFn freeFn)
{
    if (numBuckets <= 0 || (numBuckets & (numBuckets - 1)) != 0) {
        fputs("Hash_Alloc only takes powers of 2 \n", stderr);
        abort();
    }
    if (keyType != HASH_KEY_STRING && keyType != HASH_KEY_STRING_NOCASE && keyType != HASH_KEY_POINTER)
        NotReached();

    HashTable *table = (HashTable *)calloc(1, sizeof(HashTable));
    if (!table)
        HASH_MEM_ALLOC_FAILED();
    table->buckets = (HashEntry **)calloc((size_t)numBuckets, sizeof(HashEntry *));
    if (!table->buckets)
        HASH_MEM_ALLOC_FAILED();
    table->numBuckets = numBuckets;
    while ((1 << table->bits) < numBuckets)
        table->bits++;
    table->keyType = keyType;
    table->freeFn = freeFn;
    return table;
}

uint32_t Hash_String(const char *key, bool lowerCase)
{
    uint32_t h = 0;
    for (const unsigned char *p = (const unsigned char *)key; *p; p++) {
        uint32_t c = lowerCase ? (uint32_t)tolower(*p) : *p;
        h ^= c;
        h = (h << 5) | (h >> 27);
    }
    return h;
}

uint32_t Hash_Index(const HashTable *table, const void *key)
{
    uint32_t h;
    if (table->keyType == HASH_KEY_POINTER) {
        uint64_t p = (uint64_t)(uintptr_t)key;
        h = (uint32_t)p ^ (uint32_t)(p >> 32);
    } else {
        h = Hash_String((const char *)key, table->keyType == HASH_KEY_STRING_NOCASE);
    }
    /* With one bucket there are no bits to fold into: the shift by 0 would
     * never shrink h. */
    if (table->bits == 0)
        return 0;
    uint32_t mask = (uint32_t)table->numBuckets - 1;
    while (h > mask)
        h = (h >> table->bits) ^ (h & mask);
    return h;
}

bool Hash_Insert(HashTable *table, const void *key, void *value)
{
    if (!key && IsTextKey(table->keyType))
        return false;
    uint32_t index = Hash_Index(table, key);
    if (FindEntry(table, key, index))
        return false;

    HashEntry *e = (HashEntry *)malloc(sizeof(HashEntry));
    if (!e)
        HASH_MEM_ALLOC_FAILED();
    e->key = key;
    e->value = value;
    HashEntry *head = table->buckets[index];
    if (!head) {
        e->next = e->prev = e;
        table->buckets[index] = e;
    } else {
        /* append: link between the tail (head->prev) and the head */
        e->next = head;
        e->prev = head->prev;
        head->prev->next = e;
        head->prev = e;
    }
    table->count++;
    return true;
}

void *Hash_Lookup(const HashTable *table, const void *key)
{
    if (!key && IsTextKey(table->keyType))
        return nullptr;
    HashEntry *e = FindEntry(table, key, Hash_Index(table, key));
    return e ? e->value : nullptr;
}

bool Hash_Remove(HashTable *table, const void *key)
{
    if (!key && IsTextKey(table->keyType))
        return false;
    uint32_t index = Hash_Index(table, key);
    HashEntry *e = FindEntry(table, key, index);
    if (!e)
        return false;
    if (e->next == e) {
        table->buckets[index] = nullptr;
    } else {
        e->prev->next = e->next;
        e->next->prev = e->prev;
        if (table->buckets[index] == e)
            table->buckets[index] = e->next;
    }
    free(e);
    table->count--;
    return true;
}

int Hash_Count(const HashTable *table)
{
    return table->count;
}

void Hash_Free(HashTable *table)
{
    if (!table)
        return;
    for (int i = 0; i < table->numBuckets; i++) {
        HashEntry *head = table->buckets[i];
        if (!head)
            continue;
        head->prev->next = nullptr; /* open the circle so the walk ends */
        for (HashEntry *e = head; e;) {
            HashEntry *next = e->next;
            if (table->freeFn && e->value)
                table->freeFn(e->value);
            free(e);
            e = next;
        }
    }
    free(table->buckets);
    free(table);
}
