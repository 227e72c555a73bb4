#include "resultcodetable.h"

#include "commandcatalogue.h"

namespace {
const ResultCodeTable *table = nullptr;
}

ResultCodeTable::ResultCodeTable()
{
    // Completing the command catalogue first makes it outlive this table at unload.
    CommandCatalogue::instance();
    static const struct
    {
        int code;
        const char *name;
        const char *text;
    } results[] = {
        {0, "OK", "команда выполнена успешно"},
        {1, "INVALID_PARAM", "Устройство вернуло неверный блок параметров"},
        {2, "INVALID_COMMAND", "Неверная команда"},
        {3, "INVALID_DEVICE_ID", "Неверный идентификатор устройства"},
        {4, "INVALID_PARAM", "Неверный блок параметров"},
        {5, "INVALID_MSG", "Неверные данные от сервера"},
        {6, "SRV_DISCONNECT", "Отключение сервера"},
        {7, "CONNECTION_ERROR", "Потеря связи с сервером"},
        {8, "QUEUE_OVERFLOW", "Переполнена очередь команд"},
        {9, "NOTREPLY", "Устройство ни разу не ответило"},
        {10, "TRY_END", "Исчерпаны попытки выполнить команду"},
        {11, "SRV_INACTIVE", "Сервер неактивен"},
        {17, "NO_RIGHTS", "Недостаточно прав для выполнения команды"},
        {0x1200, ">OK", "команда завершилась успешно"},
        {0x1209, ">UNIDENT", "неизвестная команда или неправильный формат команды"},
        {0x120A, ">INVALID_CMD_NUMBER", ""},
        {0x120B, ">INVALID_START_CHAR", ""},
    };
    for (const auto &r : results)
        m_resultNames.insert(r.code, QString::fromUtf8(r.name));
    for (const auto &r : results)
        m_resultTexts.insert(r.code, QString::fromUtf8(r.text));
}

const ResultCodeTable &ResultCodeTable::instance()
{
    static const ResultCodeTable built;
    return built;
}

[[maybe_unused]] static const bool tableBuilt = (table = &ResultCodeTable::instance(), true);

const QHash<int, QString> &ResultCodeTable::resultNames() { return table->m_resultNames; }
const QHash<int, QString> &ResultCodeTable::resultTexts() { return table->m_resultTexts; }
