#include "platform/Registry.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

class RegistryStore : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/parcelo-registry-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        db = dir / "registry.db";
        setenv("PARCELO_REGISTRY", db.c_str(), 1);
        RegistrySetLockWait(std::chrono::milliseconds(3000));
    }
    void TearDown() override
    {
        unsetenv("PARCELO_REGISTRY");
        fs::remove_all(dir);
    }

    // Runs SQL on the file directly, as a user with the sqlite3 command would.
    void Sql(const std::string& sql)
    {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
        char* err = nullptr;
        const int rc = sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &err);
        EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "") << "\n" << sql;
        sqlite3_free(err);
        sqlite3_close(h);
    }

    long long SqlInt(const std::string& sql)
    {
        sqlite3* h = nullptr;
        long long result = -1;
        if (sqlite3_open(db.c_str(), &h) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
                result = sqlite3_column_int64(s, 0);
            sqlite3_finalize(s);
        }
        sqlite3_close(h);
        return result;
    }

    fs::path dir;
    fs::path db;
};

TEST_F(RegistryStore, NamesIgnoreCaseAndKeepTheirFirstCase)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Hosts\\MyServer", true));
        reg.WriteString("Address", "one");
        reg.WriteString("ADDRESS", "two");
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\parcelo\\hosts", false));
    EXPECT_EQ(reg.GetKeyNames(), std::vector<std::string>{"MyServer"});
    ASSERT_TRUE(reg.OpenKey("myserver", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\parcelo\\hosts\\myserver");
    EXPECT_EQ(reg.GetValueNames(), std::vector<std::string>{"Address"});
    EXPECT_EQ(reg.ReadString("address"), "two");

    // Creating a key that exists under another case opens the existing one.
    TRegistry again;
    ASSERT_TRUE(again.OpenKey("software\\PARCELO\\HOSTS\\MYSERVER", true));
    EXPECT_EQ(again.ReadString("Address"), "two");
}

TEST_F(RegistryStore, EnumeratesKeysByNameAndValuesInWriteOrder)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Hosts", true));
    for (const char* name : {"zeta", "Alpha", "beta"}) {
        TRegistry sub;
        ASSERT_TRUE(sub.OpenKey(std::string("Software\\Parcelo\\Hosts\\") + name, true));
    }
    for (const char* name : {"z", "A", "m"})
        reg.WriteString(name, "");
    reg.WriteString("a", "again"); // keeps its place
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"Alpha", "beta", "zeta"}));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"z", "A", "m"}));
}

TEST_F(RegistryStore, UnnamedValueAndEmptySubkeyName)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Options\\Extensions", true));
    reg.WriteString(".txt", "");
    reg.WriteString("", "");
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{".txt", ""}));
    EXPECT_TRUE(reg.ValueExists(""));
    EXPECT_EQ(reg.GetDataType(""), TRegDataType::rdString);

    // An empty sub-key opens the current key itself.
    ASSERT_TRUE(reg.OpenKey("", false));
    EXPECT_EQ(reg.GetValueNames().size(), 2u);
}

TEST_F(RegistryStore, StringsCarryEveryByteAndEndAtAZero)
{
    std::string every;
    for (int b = 1; b <= 255; ++b)
        every += static_cast<char>(b);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Hosts\\bytes", true));
        reg.WriteString("password", every);
        reg.WriteString("empty", "");
        const std::string withZero("ab\0cd", 5);
        ASSERT_EQ(
            RegSetValueExA(reg.CurrentKey(), "zero", 0, REG_SZ, reinterpret_cast<const BYTE*>(withZero.data()), 5),
            ERROR_SUCCESS);
    }
    TRegistry reg; // a fresh read, from the file
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Hosts\\bytes", false));
    EXPECT_EQ(reg.ReadString("password"), every);
    EXPECT_TRUE(reg.ValueExists("empty"));
    EXPECT_EQ(reg.ReadString("empty"), "");
    EXPECT_EQ(reg.ReadString("zero"), "ab");

    // The raw call hands out all the bytes, and says how many it needs.
    DWORD type = 0, size = 2;
    BYTE small[2];
    EXPECT_EQ(RegQueryValueExA(reg.CurrentKey(), "zero", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    BYTE buf[8];
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(reg.CurrentKey(), "zero", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("ab\0cd", 5));
}

TEST_F(RegistryStore, FlagsAreDwords)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Options", true));
    reg.WriteBool("passivemode", true);
    reg.WriteBool("exit", false);
    reg.WriteInteger("odd", 7);
    EXPECT_EQ(reg.GetDataType("passivemode"), TRegDataType::rdInteger);
    EXPECT_TRUE(reg.ReadBool("passivemode"));
    EXPECT_FALSE(reg.ReadBool("exit"));
    EXPECT_TRUE(reg.ReadBool("odd")); // any non-zero number is true
    reg.WriteInteger("negative", -2);
    EXPECT_EQ(reg.ReadInteger("negative"), -2);
}

TEST_F(RegistryStore, WrongKindsOfDataGiveTheirTexts)
{
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
        bool readAsFlag;
        const char* error; // nullptr: reads fine
    } const table[] = {
        {"flag as string", REG_DWORD, std::string("\1\0\0\0", 4), false, "Invalid data type for 'flag as string'"},
        {"binary as string", REG_BINARY, "abc", false, "Invalid data type for 'binary as string'"},
        {"expand string", REG_EXPAND_SZ, "abc", false, nullptr},
        {"short string as flag", REG_SZ, "abc", true, "Invalid data type for 'short string as flag'"},
        {"long string as flag", REG_SZ, "abcdef", true, "Failed to get data for 'long string as flag'"},
        {"long binary as flag", REG_BINARY, std::string(8, '\1'), true, "Failed to get data for 'long binary as flag'"},
        {"short dword", REG_DWORD, std::string("\1", 1), true, nullptr},
    };
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Options", true));
    for (const Case& c : table)
        ASSERT_EQ(RegSetValueExA(reg.CurrentKey(), c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                                 static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS);
    for (const Case& c : table) {
        try {
            if (c.readAsFlag)
                EXPECT_TRUE(reg.ReadBool(c.name)) << c.name;
            else
                EXPECT_EQ(reg.ReadString(c.name), c.data) << c.name;
            EXPECT_EQ(c.error, nullptr) << c.name << " read without error";
        } catch (const ERegistryException& e) {
            ASSERT_NE(c.error, nullptr) << c.name << ": " << e.what();
            EXPECT_STREQ(e.what(), c.error);
        }
    }
    // A flag that is not there at all cannot be read either.
    EXPECT_THROW(
        {
            try {
                reg.ReadBool("missing");
            } catch (const ERegistryException& e) {
                EXPECT_STREQ(e.what(), "Failed to get data for 'missing'");
                throw;
            }
        },
        ERegistryException);
}

TEST_F(RegistryStore, WritingIntoADeletedKeyFails)
{
    TRegistry writer;
    ASSERT_TRUE(writer.OpenKey("Software\\Parcelo\\Hosts\\gone", true));
    {
        TRegistry other;
        ASSERT_TRUE(other.OpenKey("Software\\Parcelo\\Hosts", false));
        ASSERT_TRUE(other.DeleteKey("gone"));
    }
    try {
        writer.WriteString("address", "x");
        ADD_FAILURE() << "write into a deleted key succeeded";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'address'");
        EXPECT_EQ(writer.LastError(), ERROR_KEY_DELETED);
    }
}

TEST_F(RegistryStore, DeleteKeyRemovesTheWholeTree)
{
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Options\\Extensions\\deep\\deeper", true));
        reg.WriteString("v", "1");
    }
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Options", true));
        reg.WriteBool("exit", true);
        ASSERT_TRUE(reg.OpenKey("Extensions", false));
        reg.WriteString(".txt", "");
        ASSERT_TRUE(reg.OpenKey("deep", false));
        reg.WriteString("w", "2");
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Options", false));
    EXPECT_TRUE(reg.DeleteKey("EXTENSIONS"));
    EXPECT_FALSE(reg.KeyExists("Extensions"));
    EXPECT_FALSE(reg.DeleteKey("Extensions"));
    EXPECT_EQ(reg.LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(reg.ReadBool("exit"));                 // the parent's own values stay
    EXPECT_EQ(SqlInt("SELECT count(*) FROM keys"), 4); // root, Software, Parcelo, Options
    EXPECT_EQ(SqlInt("SELECT count(*) FROM vals"), 1); // exit

    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_ALL_ACCESS, &root), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(root, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(root);
}

TEST_F(RegistryStore, ReadingCreatesNothingAndTheFileIsPrivate)
{
    unsetenv("PARCELO_REGISTRY");
    const fs::path config = dir / "config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const fs::path file = config / "parcelo" / "registry.db";
    EXPECT_EQ(RegistryStorePath(), file.string());
    {
        TRegistry reg;
        EXPECT_FALSE(reg.OpenKey("Software\\Parcelo\\Hosts", false));
        EXPECT_EQ(reg.LastError(), ERROR_FILE_NOT_FOUND);
        EXPECT_FALSE(reg.ValueExists("lasthost"));
        EXPECT_TRUE(reg.GetKeyNames().empty());
    }
    EXPECT_FALSE(fs::exists(config));

    const mode_t old = umask(0);
    {
        TRegistry reg;
        EXPECT_TRUE(reg.OpenKey("Software\\Parcelo\\Hosts", true));
    }
    umask(old);
    unsetenv("XDG_CONFIG_HOME");
    struct stat sb { };
    ASSERT_EQ(stat(file.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(file.parent_path().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0700u);
}

TEST_F(RegistryStore, FileThatIsNoStoreOfOursIsLeftUntouched)
{
    struct Case {
        const char* what;
        std::string setupSql; // empty: write `bytes` instead
        std::string bytes;
    } const table[] = {
        {"text file", "", "profiles:\n  work: ftp.example.org\n"},
        {"binary junk", "", std::string(5000, '\x7f')},
        {"another program's database", "CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('mine');", ""},
    };
    for (const Case& c : table) {
        fs::remove(db);
        if (c.setupSql.empty())
            std::ofstream(db, std::ios::binary) << c.bytes;
        else
            Sql(c.setupSql);
        const std::string before = ReadFile(db);
        {
            TRegistry reg;
            EXPECT_FALSE(reg.OpenKey("Software\\Parcelo\\Hosts", false)) << c.what;
            EXPECT_EQ(reg.LastError(), ERROR_BADDB) << c.what;
            EXPECT_TRUE(RegistryStoreFailed(reg.LastError()));
            EXPECT_FALSE(reg.OpenKey("Software\\Parcelo\\Hosts", true)) << c.what;
            EXPECT_EQ(reg.LastError(), ERROR_BADDB) << c.what;
            EXPECT_THROW(reg.WriteString("lasthost", "x"), ERegistryException) << c.what;
        }
        EXPECT_EQ(ReadFile(db), before) << c.what;
        EXPECT_EQ(fs::directory_iterator(dir)->path(), db) << c.what << ": no journal left behind";
    }
}

std::string SchemaFromDocs()
{
    const std::string doc = ReadFile(fs::path(PARCELO_SOURCE_DIR) / "docs" / "settings-store.md");
    std::smatch m;
    if (!std::regex_search(doc, m, std::regex("## Schema\\s*```sql\\n([\\s\\S]*?)```")))
        return {};
    return m[1].str();
}

TEST_F(RegistryStore, LockHeldByAnotherProgramFailsAsBusyThenClears)
{
    // A file prepared by hand, still in rollback-journal mode: another
    // program's exclusive lock keeps readers out as well.
    Sql(SchemaFromDocs() + "INSERT INTO keys (id, parent, name) VALUES (2, 1, 'Software');"
                           "INSERT INTO vals VALUES (2, 'v', 1, 'before');");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    RegistrySetLockWait(std::chrono::milliseconds(50));
    {
        TRegistry reg;
        EXPECT_FALSE(reg.OpenKey("Software", false));
        EXPECT_EQ(reg.LastError(), ERROR_BUSY);
        EXPECT_TRUE(RegistryStoreFailed(reg.LastError()));
        EXPECT_FALSE(reg.OpenKey("Software", true));
        EXPECT_EQ(reg.LastError(), ERROR_BUSY);
    }
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software", false));
        EXPECT_EQ(reg.ReadString("v"), "before");
    }

    // Once Parcelo has used the file it keeps a write-ahead log: a program
    // holding a write lock then only holds up writers.
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software", false));
        EXPECT_EQ(reg.ReadString("v"), "before");
        try {
            reg.WriteString("v", "after");
            ADD_FAILURE() << "write went through a held lock";
        } catch (const ERegistryException& e) {
            EXPECT_STREQ(e.what(), "Failed to set data for 'v'");
            EXPECT_EQ(reg.LastError(), ERROR_BUSY);
        }
    }
    ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software", false));
    reg.WriteString("v", "after");
    EXPECT_EQ(reg.ReadString("v"), "after");
}

TEST_F(RegistryStore, DocumentedSchemaPreparesAStoreByHand)
{
    const std::string schema = SchemaFromDocs();
    ASSERT_FALSE(schema.empty());
    Sql(schema);
    // As the document shows: text typed in for strings, numbers for flags.
    Sql("INSERT INTO keys (id, parent, name) VALUES (2, 1, 'Software'), (3, 2, 'Parcelo'), (4, 3, 'Hosts'),"
        " (5, 4, 'work');"
        "INSERT INTO vals VALUES (4, 'lasthost', 1, 'work'), (5, 'address', 1, 'ftp.example.org'),"
        " (5, 'port', 1, 2121), (5, 'anonymous', 4, 0), (5, 'insub', 4, 1);");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Hosts", false));
    EXPECT_EQ(reg.ReadString("lasthost"), "work");
    ASSERT_TRUE(reg.OpenKey("work", false));
    EXPECT_EQ(reg.ReadString("address"), "ftp.example.org");
    EXPECT_EQ(reg.ReadString("port"), "2121");
    EXPECT_FALSE(reg.ReadBool("anonymous"));
    EXPECT_TRUE(reg.ReadBool("insub"));
    reg.WriteString("subdir", "pub");
    EXPECT_EQ(reg.ReadString("subdir"), "pub");
}

pid_t StartWriter(const std::string& prefix, int count)
{
    std::vector<std::string> args = {REGISTRY_WRITER, prefix, std::to_string(count)};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, REGISTRY_WRITER, nullptr, nullptr, argv.data(), environ), 0);
    return pid;
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing)
{
    constexpr int Count = 200;
    const pid_t a = StartWriter("a", Count);
    const pid_t b = StartWriter("b", Count);
    for (pid_t pid : {a, b}) {
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Hosts", false));
    const auto names = reg.GetKeyNames();
    EXPECT_EQ(names.size(), 2u * Count);
    const std::string last = reg.ReadString("lasthost");
    EXPECT_TRUE(last == "a-" + std::to_string(Count - 1) || last == "b-" + std::to_string(Count - 1)) << last;
    int checked = 0;
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < Count; ++i) {
            const std::string name = std::string(prefix) + "-" + std::to_string(i);
            TRegistry p;
            ASSERT_TRUE(p.OpenKey("Software\\Parcelo\\Hosts\\" + name, false)) << name;
            EXPECT_EQ(p.ReadString("address"), "host." + name);
            EXPECT_EQ(p.ReadString("port"), std::to_string(1000 + i));
            EXPECT_EQ(p.ReadBool("anonymous"), i % 2 == 0);
            EXPECT_EQ(p.ReadString("username"), "user" + std::to_string(i));
            std::string password;
            for (int k = 0; k < 8; ++k)
                password += static_cast<char>(1 + (i * 8 + k) % 255);
            EXPECT_EQ(p.ReadString("password"), password) << name;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 2 * Count);
}

} // namespace
