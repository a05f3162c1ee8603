#include "FakeProtocol.h"

FakeProtocol::Answer FakeProtocol::Answer::reply(quint8 status, const QByteArray &data)
{
    Answer a;
    a.status = status;
    a.data = data;
    return a;
}

FakeProtocol::Answer FakeProtocol::Answer::failure(const QString &message)
{
    Answer a;
    a.failed = true;
    a.result = USBResult(message, 2);
    return a;
}

USBResult FakeProtocol::sendRequest(std::shared_ptr<USBICommRequest> request)
{
    if (!attached)
        return USBResult(QStringLiteral("Invalid communication handle."), 2);
    sent.append({request->command(), request->isRawRequest(), request->expectedReplySize()});
    events << QStringLiteral("request 0x%1").arg(request->command(), 2, 16, QLatin1Char('0'));
    if (request->isRawRequest())
        return rawWriteResult;
    if (answers.isEmpty())
        return USBResult(QStringLiteral("Communication timed out"), 2);
    const Answer answer = answers.takeFirst();
    if (answer.failed)
        return answer.result;
    const USBResult result = request->resultForStatus(answer.status);
    if (!result.isSuccess())
        return result;
    if (answer.data.size() != request->expectedReplySize())
        return USBResult(QStringLiteral("Unexpected packet length."), 2);
    request->setReceivedData(answer.data);
    return USBResult();
}
