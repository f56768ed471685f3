// CPOP3ClientMessage: one incoming message of one user on its way through filtering: its header
// with the server's own fields, the target mailbox its user's ruleset chooses, and the final move
// of its file into that mailbox (or its deletion).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/event.h"
#include "common/exception.h"
#include "common/file.h"
#include "common/xml_document.h"
#include "server/core/work_unit.h"
#include "server/message/message_header.h"

namespace Ovrin {

class CPOP3ClientMessage : public CSequentialWorkUnit {
public:
    // The user's ruleset stayed locked by an editor for longer than a worker may wait.
    class CRuleSetBusyException : public CMessageException {
    public:
        explicit CRuleSetBusyException(const std::string& userName)
            : CMessageException("The ruleset of user %s is locked by an editor", userName.c_str()) {}
    };

    // The user document is the user's user.xml; its parameters become x-ovrin-user-... fields.
    CPOP3ClientMessage(const std::string& userName, std::shared_ptr<CXMLDocument> user);

    void SetMessageSize(uint32_t size);
    // Stores the raw header (CR LF lines) and names the message: time, header hash, GUID part.
    void SetMessageHeader(const std::string& text);
    // Opens the message file for reading and keeps it open; or keeps a file already opened so.
    void AttachMessageFile(const std::string& path);
    void AttachMessageFile(std::shared_ptr<CFile> file);
    // Adds a field to the parsed header (after ParseMessageHeader).
    void AddHeaderValue(const std::string& name, const std::string& value);
    void ParseMessageHeader();
    // For a message already whole on disk: parses the header now, so that the next Process
    // dispatches once, with the file.
    void SkipFirstPass();
    // Throws CRuleSetBusyException when the ruleset stays locked for longer than a worker waits.
    void Dispatch();
    void ParseMessageFile();
    void MoveToTargetMailbox();

    // First call: the header pass (dispatch on the header alone, then the header-pass event);
    // second call: the file pass (dispatch again if a rule asked for the contents, then the move).
    void Process() override;

    // The target mailbox, "<delete>" or "<contents>"; read after the header pass.
    std::string GetResult() const;
    const std::string& GetMessageId() const { return messageId; }
    const std::string& GetMessageFileName() const { return messageFileName; }
    CMessageHeaderPtr GetHeader() const { return header; }

    // Called with the file's new name in the spool when a file pass finds the ruleset locked
    // and hands the message back to the spool task; the spool's training entry follows it.
    void SetReturnedToSpool(std::function<void(const std::string& spoolName)> callback);

    // The event that tells the POP3 session the header pass has ended.
    void CreateHeaderEvent();
    // True once the header pass has ended; never waits.
    bool HeaderProcessed();
    // Polls readable once the header pass has ended, so the session can sleep until then;
    // -1 without an event.
    int HeaderEventDescriptor();
    void ReleaseHeaderEvent();
    // Why the header pass failed, once it has ended so; empty when it did not.
    std::string HeaderFailure() const;

    // The file pass as a work unit of its own, named by its own address: the header pass may
    // still be listed on the worker that ran it, and a unit of the same name would be refused.
    static CSequentialWorkUnitPtr FilePass(const std::shared_ptr<CPOP3ClientMessage>& message);
    // The name of a unit that processes a message: the user and the address of an object the
    // unit owns, unique among the units alive at one time, so that two messages of one user are
    // never taken for the same work.
    static std::string UnitName(const std::string& userName, const void* holder);

private:
    // The file pass's dispatch; a failure sets the result to spam, or to the training mailbox
    // of a training pass, with an ERROR line. False when the ruleset is locked by an editor.
    bool DispatchOrFallBack();
    // Moves the file into the user's spool, where the spool task takes it up again once the
    // ruleset is free.
    void ReturnToSpool();
    // The attached file's path, the file closed so that it can be moved; throws without one.
    std::string DetachMessageFile();

    std::string userName;
    std::shared_ptr<CXMLDocument> userDocument;
    int pass = 0;  // 0: header pass next, 1: file pass next, 2: done
    uint32_t messageSize = 0;
    std::string headerText;
    std::string headerHash;
    std::string messageId;
    CMessageHeaderPtr header;
    std::shared_ptr<CFile> messageFile;
    std::shared_ptr<CEvent> headerEvent;
    std::string headerFailure;
    std::string result;
    std::string messageFileName;
    std::function<void(const std::string&)> returnedToSpool;
    // The POP3 session polls the event and reads the result from its own thread.
    mutable std::mutex sharedGuard;
};

using CPOP3ClientMessagePtr = std::shared_ptr<CPOP3ClientMessage>;

}  // namespace Ovrin
