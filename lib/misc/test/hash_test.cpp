/* Tests of the chained hash table: hash values and folding worked out by
 * hand, the three key types, chains under collisions, ownership on free and
 * remove, and the fatal checks. */
#include "hash.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int g_freed = 0;
void CountingFree(void *value)
{
    g_freed++;
    free(value);
}

TEST(HashFunction, KnownValuesWorkedByHand)
{
    EXPECT_EQ(0u, Hash_String("", false));
    EXPECT_EQ(0xC20u, Hash_String("a", false));         /* 0x61 << 5 */
    EXPECT_EQ(0x18840u, Hash_String("ab", false));      /* (0xC20 ^ 0x62) << 5 */
    EXPECT_EQ(0x310460u, Hash_String("abc", false));    /* (0x18840 ^ 0x63) << 5 */
    /* eleven bytes: the rotation carries high bits round to the bottom */
    EXPECT_EQ(0xDD5153F0u, Hash_String("hello world", false));
    /* bytes above 0x7F count as unsigned: 0x80 << 5, not a sign-extended value */
    EXPECT_EQ(0x1000u, Hash_String("\x80", false));
    EXPECT_EQ(Hash_String("abc", false), Hash_String("ABC", true));
    EXPECT_NE(Hash_String("abc", false), Hash_String("ABC", false));
}

TEST(HashFunction, FoldsIntoBucketRange)
{
    HashTable *t32 = Hash_Alloc(32, HASH_KEY_STRING, nullptr);
    HashTable *t128 = Hash_Alloc(128, HASH_KEY_STRING, nullptr);
    /* 0xC20 in 32 buckets: (0xC20>>5)^(0xC20&31) = 97; (97>>5)^(97&31) = 3^1 = 2 */
    EXPECT_EQ(2u, Hash_Index(t32, "a"));
    /* 0xC20 in 128 buckets: (0xC20>>7)^(0xC20&127) = 24^32 = 56 */
    EXPECT_EQ(56u, Hash_Index(t128, "a"));
    EXPECT_EQ(1u, Hash_Index(t32, "hello world"));
    EXPECT_EQ(117u, Hash_Index(t128, "hello world"));
    EXPECT_EQ(0u, Hash_Index(t32, ""));
    Hash_Free(t32);
    Hash_Free(t128);
}

TEST(HashTable, InsertLookupRemoveCaseSensitive)
{
    HashTable *t = Hash_Alloc(32, HASH_KEY_STRING, nullptr);
    int a = 1, b = 2;
    EXPECT_TRUE(Hash_Insert(t, "quen-a", &a));
    EXPECT_TRUE(Hash_Insert(t, "quen-b", &b));
    EXPECT_FALSE(Hash_Insert(t, "quen-a", &b)) << "duplicate must be refused";
    EXPECT_EQ(&a, Hash_Lookup(t, "quen-a")) << "refused insert must not replace";
    EXPECT_EQ(&b, Hash_Lookup(t, "quen-b"));
    EXPECT_EQ(nullptr, Hash_Lookup(t, "QUEN-A"));
    EXPECT_EQ(2, Hash_Count(t));

    /* keys are compared by content, not by pointer */
    std::string copy = "quen-a";
    EXPECT_EQ(&a, Hash_Lookup(t, copy.c_str()));

    EXPECT_TRUE(Hash_Remove(t, "quen-a"));
    EXPECT_FALSE(Hash_Remove(t, "quen-a"));
    EXPECT_EQ(nullptr, Hash_Lookup(t, "quen-a"));
    EXPECT_TRUE(Hash_Insert(t, "quen-a", &b)) << "a removed key can be inserted again";
    EXPECT_EQ(&b, Hash_Lookup(t, "quen-a"));

    /* null text keys are refused, not dereferenced */
    EXPECT_FALSE(Hash_Insert(t, nullptr, &a));
    EXPECT_EQ(nullptr, Hash_Lookup(t, nullptr));
    EXPECT_FALSE(Hash_Remove(t, nullptr));
    Hash_Free(t);
}

TEST(HashTable, CaseInsensitiveKeys)
{
    HashTable *t = Hash_Alloc(16, HASH_KEY_STRING_NOCASE, nullptr);
    int v = 7;
    EXPECT_EQ(Hash_Index(t, "CN=Users,DC=Example"), Hash_Index(t, "cn=users,dc=example"));
    EXPECT_TRUE(Hash_Insert(t, "CN=Users,DC=Example", &v));
    EXPECT_EQ(&v, Hash_Lookup(t, "cn=users,dc=example"));
    EXPECT_EQ(&v, Hash_Lookup(t, "cN=UsErS,dC=eXaMpLe"));
    EXPECT_FALSE(Hash_Insert(t, "cn=USERS,dc=EXAMPLE", &v));
    EXPECT_TRUE(Hash_Remove(t, "CN=USERS,DC=EXAMPLE"));
    EXPECT_EQ(0, Hash_Count(t));
    Hash_Free(t);
}

TEST(HashTable, PointerKeys)
{
    HashTable *t = Hash_Alloc(16, HASH_KEY_POINTER, nullptr);
    char first[] = "same", second[] = "same";
    int x = 1, y = 2;
    EXPECT_TRUE(Hash_Insert(t, first, &x));
    EXPECT_TRUE(Hash_Insert(t, second, &y)) << "equal texts at different addresses are different keys";
    EXPECT_EQ(&x, Hash_Lookup(t, first));
    EXPECT_EQ(&y, Hash_Lookup(t, second));

    /* small integers as keys, including 0, spread over every bucket */
    std::vector<int> values(1000);
    for (uintptr_t i = 0; i < values.size(); i++)
        ASSERT_TRUE(Hash_Insert(t, (const void *)i, &values[i]));
    for (uintptr_t i = 0; i < values.size(); i++) {
        EXPECT_LT(Hash_Index(t, (const void *)i), 16u);
        EXPECT_EQ(&values[i], Hash_Lookup(t, (const void *)i));
    }
    EXPECT_FALSE(Hash_Insert(t, (const void *)0, &x));
    EXPECT_EQ(1002, Hash_Count(t));
    Hash_Free(t);
}

/* One bucket: every key shares a chain, so this exercises the circular
 * links (removing head, middle and tail) and equality on a shared chain. */
TEST(HashTable, OneBucketChainHoldsEverything)
{
    HashTable *t = Hash_Alloc(1, HASH_KEY_STRING, nullptr);
    const char *keys[] = {"k0", "k1", "k2", "k3", "k4", "hello world"};
    int vals[6];
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(0u, Hash_Index(t, keys[i]));
        ASSERT_TRUE(Hash_Insert(t, keys[i], &vals[i]));
    }
    EXPECT_FALSE(Hash_Insert(t, "k3", &vals[0]));
    EXPECT_TRUE(Hash_Remove(t, "k0"));          /* head */
    EXPECT_TRUE(Hash_Remove(t, "k2"));          /* middle */
    EXPECT_TRUE(Hash_Remove(t, "hello world")); /* tail */
    EXPECT_EQ(nullptr, Hash_Lookup(t, "k0"));
    EXPECT_EQ(nullptr, Hash_Lookup(t, "k2"));
    EXPECT_EQ(&vals[1], Hash_Lookup(t, "k1"));
    EXPECT_EQ(&vals[3], Hash_Lookup(t, "k3"));
    EXPECT_EQ(&vals[4], Hash_Lookup(t, "k4"));
    EXPECT_TRUE(Hash_Remove(t, "k1"));
    EXPECT_TRUE(Hash_Remove(t, "k3"));
    EXPECT_TRUE(Hash_Remove(t, "k4"));
    EXPECT_EQ(0, Hash_Count(t));
    EXPECT_EQ(nullptr, Hash_Lookup(t, "k4"));
    EXPECT_TRUE(Hash_Insert(t, "k4", &vals[4])) << "emptied bucket is usable again";
    Hash_Free(t);
}

TEST(HashTable, FreeReleasesEveryValueRemoveReleasesNone)
{
    g_freed = 0;
    HashTable *t = Hash_Alloc(2, HASH_KEY_STRING, CountingFree);
    static const char *keys[] = {"a", "b", "c", "d", "e", "f", "g"};
    for (const char *k : keys)
        ASSERT_TRUE(Hash_Insert(t, k, malloc(8)));
    ASSERT_TRUE(Hash_Insert(t, "no-value", nullptr));
    void *taken = Hash_Lookup(t, "c");
    EXPECT_TRUE(Hash_Remove(t, "c"));
    EXPECT_EQ(0, g_freed) << "remove hands the value back instead of freeing it";
    free(taken);
    Hash_Free(t);
    EXPECT_EQ(6, g_freed) << "every remaining value once; a null value is skipped";
    Hash_Free(nullptr);
}

TEST(HashTableDeathTest, FatalMisuse)
{
    EXPECT_DEATH(Hash_Alloc(0, HASH_KEY_STRING, nullptr), "Hash_Alloc only takes powers of 2 \n");
    EXPECT_DEATH(Hash_Alloc(48, HASH_KEY_STRING, nullptr), "Hash_Alloc only takes powers of 2 \n");
    EXPECT_DEATH(Hash_Alloc(-16, HASH_KEY_STRING, nullptr), "Hash_Alloc only takes powers of 2 \n");
    EXPECT_DEATH(Hash_Alloc(16, 3, nullptr), "NOT_REACHED");
    EXPECT_DEATH(Hash_Alloc(16, -1, nullptr), "NOT_REACHED");
}

#ifndef __SANITIZE_ADDRESS__ /* the sanitizer's allocator aborts by itself */
TEST(HashTableDeathTest, OutOfMemoryNamesTheSourceLine)
{
    /* 2^30 buckets need 8 GiB; cap the child's address space so calloc fails */
    auto allocHuge = [] {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 256u << 20;
        setrlimit(RLIMIT_AS, &limit);
        Hash_Alloc(1 << 30, HASH_KEY_STRING, nullptr);
    };
    EXPECT_DEATH(allocHuge(), "MEM_ALLOC .*hash\\.cpp:[0-9]+\n");
}
#endif

} // namespace
