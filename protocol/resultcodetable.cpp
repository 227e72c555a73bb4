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
        ResultCode::Code code;
        const char *name;
        const char *text;
    } results[] = {
        {ResultCode::Ok, "OK", "команда выполнена успешно"},
        {ResultCode::DeviceInvalidParams, "INVALID_PARAM",
            "Устройство вернуло неверный блок параметров"},
        {ResultCode::InvalidCommand, "INVALID_COMMAND", "Неверная команда"},
        {ResultCode::InvalidDeviceId, "INVALID_DEVICE_ID", "Неверный идентификатор устройства"},
        {ResultCode::InvalidParams, "INVALID_PARAM", "Неверный блок параметров"},
        {ResultCode::InvalidMessage, "INVALID_MSG", "Неверные данные от сервера"},
        {ResultCode::ServerDisconnect, "SRV_DISCONNECT", "Отключение сервера"},
        {ResultCode::ConnectionError, "CONNECTION_ERROR", "Потеря связи с сервером"},
        {ResultCode::QueueOverflow, "QUEUE_OVERFLOW", "Переполнена очередь команд"},
        {ResultCode::NotReplied, "NOTREPLY", "Устройство ни разу не ответило"},
        {ResultCode::TriesExhausted, "TRY_END", "Исчерпаны попытки выполнить команду"},
        {ResultCode::ServerInactive, "SRV_INACTIVE", "Сервер неактивен"},
        {ResultCode::NoRights, "NO_RIGHTS", "Недостаточно прав для выполнения команды"},
        {ResultCode::DeviceOk, ">OK", "команда завершилась успешно"},
        {ResultCode::DeviceUnknownCommand, ">UNIDENT",
            "неизвестная команда или неправильный формат команды"},
        {ResultCode::InvalidCommandNumber, ">INVALID_CMD_NUMBER", ""},
        {ResultCode::InvalidStartChar, ">INVALID_START_CHAR", ""},
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
