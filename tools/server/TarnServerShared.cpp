// What tarn_server and the clients that read it back share: the upload report's form description,
// and received forms as text (GET /forms).
#include "TarnServer.h"

#include <cstdio>
#include <cstdlib>

namespace tarn
{
std::string DescribeForm(const ReceivedForm& Form)
{
    std::string Text;
    for (const FormPart& Part : Form.Parts)
    {
        char szLine[128];
        std::snprintf(szLine, sizeof(szLine), " size=%zu fnv1a=%016llx\n", Part.Content.size(),
                      static_cast<unsigned long long>(Fnv1a64(Part.Content)));
        Text += "name=" + Part.Name + " filename=" + Part.FileName + szLine;
    }
    return Text;
}

namespace
{
// Each text goes out as "<length>:<bytes>," so any byte, NUL and CRLF included, survives.
void PutText(std::string& Out, const std::string& Text)
{
    Out += std::to_string(Text.size()) + ":" + Text + ",";
}

bool GetText(const std::string& In, size_t& uPos, std::string& Text)
{
    const size_t uColon = In.find(':', uPos);
    if (uColon == std::string::npos || uColon == uPos)
        return false;
    char* pEnd = nullptr;
    const unsigned long long uLength = std::strtoull(In.c_str() + uPos, &pEnd, 10);
    if (pEnd != In.c_str() + uColon || uLength > In.size() - uColon - 1 ||
        In.size() - uColon - 1 - uLength < 1 || In[uColon + 1 + uLength] != ',')
        return false;
    Text.assign(In, uColon + 1, static_cast<size_t>(uLength));
    uPos = uColon + 2 + static_cast<size_t>(uLength);
    return true;
}

bool GetCount(const std::string& In, size_t& uPos, size_t& uCount)
{
    std::string Text;
    if (!GetText(In, uPos, Text) || Text.empty() || Text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uCount = static_cast<size_t>(std::strtoull(Text.c_str(), nullptr, 10));
    return true;
}
} // namespace

std::string EncodeForms(size_t uRequests, const std::vector<ReceivedForm>& Forms)
{
    std::string Out;
    PutText(Out, std::to_string(uRequests));
    PutText(Out, std::to_string(Forms.size()));
    for (const ReceivedForm& Form : Forms)
    {
        PutText(Out, Form.Path);
        PutText(Out, Form.ContentTypeHeader);
        PutText(Out, Form.bParsed ? "1" : "0");
        PutText(Out, std::to_string(Form.Parts.size()));
        for (const FormPart& Part : Form.Parts)
        {
            PutText(Out, Part.Name);
            PutText(Out, Part.FileName);
            PutText(Out, Part.ContentType);
            PutText(Out, Part.Content);
        }
    }
    return Out;
}

bool DecodeForms(const std::string& In, size_t* puRequests, std::vector<ReceivedForm>* pForms)
{
    size_t uPos = 0;
    size_t uForms = 0;
    if (!GetCount(In, uPos, *puRequests) || !GetCount(In, uPos, uForms))
        return false;
    pForms->clear();
    for (size_t i = 0; i < uForms; ++i)
    {
        ReceivedForm Form;
        std::string Parsed;
        size_t uParts = 0;
        if (!GetText(In, uPos, Form.Path) || !GetText(In, uPos, Form.ContentTypeHeader) ||
            !GetText(In, uPos, Parsed) || !GetCount(In, uPos, uParts))
            return false;
        Form.bParsed = Parsed == "1";
        for (size_t j = 0; j < uParts; ++j)
        {
            FormPart Part;
            if (!GetText(In, uPos, Part.Name) || !GetText(In, uPos, Part.FileName) ||
                !GetText(In, uPos, Part.ContentType) || !GetText(In, uPos, Part.Content))
                return false;
            Form.Parts.push_back(std::move(Part));
        }
        pForms->push_back(std::move(Form));
    }
    return uPos == In.size();
}
} // namespace tarn
