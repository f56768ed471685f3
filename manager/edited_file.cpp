#include "manager/edited_file.h"

#include "manager/dialogs.h"

namespace Ovrin {

TEditedFile::TEditedFile(std::string path, std::string counter) : path(std::move(path)), counter(std::move(counter)) {}

bool TEditedFile::Load() {
    TXmlDocument fresh, copy;
    if (!fresh.Load(path) || !copy.Load(path))
        return false;
    document = fresh;
    loaded = copy;
    return true;
}

bool TEditedFile::CatchUp() {
    TXmlDocument current;
    if (!current.Load(path) || !loaded.DocumentElement() || !current.DocumentElement() ||
        !loaded.DocumentElement().SameContent(current.DocumentElement(), counter))
        return false;
    if (counter.empty())
        return true;
    // The same content: the counted elements pair up in document order.
    const std::string counted = "//*[@" + counter + "]";
    const std::vector<TXmlNode> before = loaded.SelectNodes(counted), now = current.SelectNodes(counted);
    if (before.size() != now.size())
        return false;
    std::vector<std::pair<TXmlNode, std::string>> updates;
    for (size_t i = 0; i < now.size(); ++i) {
        std::string value = now[i].SelectSingleNode("@" + counter).Text();
        if (value == before[i].SelectSingleNode("@" + counter).Text())
            continue;
        TXmlNode target = Counterpart(now[i], current);
        if (!target)
            return false;
        updates.emplace_back(target, value);
    }
    for (auto& [target, value] : updates) {
        TXmlNode attribute = document.CreateAttribute(counter);
        attribute.SetText(value);
        target.SetNamedItem(attribute);
    }
    loaded = current;
    return true;
}

// The element of the edited document that counts what the file's element counts: the one found
// by the same path of names and ids (a learnt rule and the template it came from share an id,
// not a path). Null when no path names it alone, in the file and in the document.
TXmlNode TEditedFile::Counterpart(const TXmlNode& element, const TXmlDocument& current) const {
    std::string query;
    for (TXmlNode step = element; step && step.IsElement(); step = step.ParentNode()) {
        std::string part = "/" + step.Name();
        if (TXmlNode id = step.SelectSingleNode("@id")) {
            if (id.Text().find('\'') != std::string::npos)
                return TXmlNode();
            part += "[@id='" + id.Text() + "']";
        }
        query = part + query;
    }
    std::vector<TXmlNode> mine = document.SelectNodes(query);
    if (current.SelectNodes(query).size() != 1 || mine.size() != 1)
        return TXmlNode();
    return mine.front();
}

bool TEditedFile::SaveUnder(TServerLock& lock, const std::function<void(const TXmlDocument&)>& check,
                            const std::function<void()>& reload) {
    if (!CatchUp()) {
        lock.Release();
        if (Dialogs().Question(path + " has been changed by the server since it was loaded, so your changes have not "
                                      "been saved. Load it again, discarding your unsaved changes?"))
            reload();  // nothing of this file is used afterwards
        return false;
    }
    if (check)
        check(document);
    Save();
    lock.Release();
    return true;
}

void TEditedFile::Save() {
    document.Save(path);
    TXmlDocument copy;
    if (copy.Load(path))
        loaded = copy;
}

}  // namespace Ovrin
