#include "shell/help_text.h"

#include <cstdio>

namespace vorn {

namespace {

void row(const char* command, const char* description) {
    std::printf("  %-30s %s\n", command, description);
}

}  // namespace

void printHelp() {
    std::printf("\n");
    std::printf("[INIT DATA DICTIONARY]\n");
    std::printf("  bootstrap\n");
    std::printf("  -- init dictionary, which MUST be run at first.\n");
    std::printf("\n");
    std::printf("[QUERY DICTIONARY]\n");
    row("list db", "-- list databases.");
    row("set db <db_name>", "-- set current database.");
    row("list schema", "-- list schemas of current database.");
    row("set schema [db_name.]<schema>", "-- set current schema.");
    row("list table <table_substr>", "-- list tables of current schema.");
    row("desc [schema.]<table_name>", "-- show table structure.");
    std::printf("\n");
    std::printf("[UNLOAD TABLES]\n");
    std::printf("  unload schema <schema_name> [parallel <#>]\n");
    std::printf("  -- unload all tables belong to the schema.\n\n");
    std::printf("  unload table [schema.]<table_name> [parallel <#>]\n");
    std::printf("  -- unload table rows.\n");
    std::printf("\n");
    std::printf("[UNLOAD OBJECT DDL]\n");
    row("unload object <schema_name>",
        "-- unload schema's objects DDL, such as Table, Index, Sequence, etc.");
    std::printf("\n\n");
    std::printf("[HELP]\n");
    row("help", "-- show all commands.");
    row("exit|quit", "-- exit program.");
    std::printf("\n");
}

}  // namespace vorn
