/* Internal to the SQLite store: the statements a connection keeps prepared.
 *
 * The table modules write every value into the statement text as a
 * literal, so two requests never send the same text; parsing and planning
 * that text again was most of the store's work. A text is therefore split
 * into its shape (the text with each value literal replaced by a
 * parameter) and its values; a connection keeps one prepared statement per
 * shape and binds the values to it. A bound value is the same value the
 * literal named (a text stays a text, a whole number a whole number), so
 * the statement's answer is the same; only what cannot be a parameter
 * (numbers after ORDER BY or GROUP BY, blobs, reals) stays in the shape. */
#ifndef QUENSC_POLICYDB_SQLITESTATEMENTS_H
#define QUENSC_POLICYDB_SQLITESTATEMENTS_H

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

/* One statement text split into its shape and the values to bind. */
struct SqliteShape {
    struct Value {
        bool isText;
        int64_t number;  /* a whole number */
        size_t offset;   /* a text: where it starts in texts, and its length */
        size_t length;
    };
    std::string key;            /* the text with a '?' for each value */
    std::vector<Value> values;  /* in the order of the '?' */
    std::string texts;          /* the text values, unquoted, back to back */
};

/* Splits sql into out (whose earlier contents are replaced). True for one
 * SELECT, INSERT, UPDATE, DELETE or REPLACE statement (a trailing ';'
 * allowed) without comments or parameters of its own; false for anything
 * else (several statements, DDL, transaction control, an unterminated
 * literal), which the store then runs as text. This function can't fail. */
bool PolDb_SqliteShapeOf(const char *sql, SqliteShape *out);

/* One connection's prepared statements by shape, at most kSqliteKeptMax of
 * them; the one used longest ago goes first. Belongs to its connection's
 * thread like the connection itself, and must be destroyed before the
 * connection is closed. */
constexpr size_t kSqliteKeptMax = 64;

struct SqliteStatements {
    struct Kept {
        sqlite3_stmt *stmt;
        uint64_t lastUse;
    };
    sqlite3 *db;
    uint64_t uses;
    std::unordered_map<std::string, Kept> byShape;
    SqliteShape shape;  /* the statement being run: its values are bound */
};

SqliteStatements *PolDb_SqliteStatementsCreate(sqlite3 *db);
/* Finalizes every kept statement and frees the set; null is ignored. */
void PolDb_SqliteStatementsDestroy(SqliteStatements *kept);

/* The kept statement of sql's shape with sql's values bound, ready to
 * step; prepared and kept when the shape is new. Null when sql has no
 * shape that can be kept, or the shape can't be prepared or bound: the
 * caller then runs sql as text, which reports any error. Hand it back
 * with PolDb_SqliteStatementDone before the next call. */
sqlite3_stmt *PolDb_SqliteStatementFor(SqliteStatements *kept, const char *sql);

/* Resets a statement from PolDb_SqliteStatementFor and clears its values.
 * Can't fail. */
void PolDb_SqliteStatementDone(sqlite3_stmt *stmt);

#endif
