"use strict";
// Every text from the results reaches the page through textContent, never
// as markup, so that no plug-in's name can add an element.
(function () {
    const started = performance.now();
    // Files that are no VST 2 plug-ins are "failed" in the results file, but
    // a group of their own here: a folder of support DLLs is not that many
    // broken plug-ins.
    const NOT_VST2 = "not VST 2";
    const STATUSES = [
        ["ok", "scanned without an error"],
        ["failed", "the scan server reported an error"],
        ["crashed", "its scan server died of a fault, twice"],
        ["timed out", "no answer within the time limit"],
        ["ended", "its scan server ended another way, twice"],
        [NOT_VST2, "no VST 2 plug-in: another format, or a DLL without a plug-in entry point"],
    ];
    // VST 2 plug-in categories by number; 0 is "unknown", shown as a number.
    const CATEGORIES = ["", "effect", "synth", "analysis", "mastering", "spatial",
        "room effects", "surround", "restoration", "offline", "shell", "generator"];
    // Formats in the order the filters list them; a results file of a
    // version before VST3 and CLAP has no format, and scanned VST 2 only.
    const FORMATS = [
        ["VST2", "VST 2 plug-ins"],
        ["VST3", "VST3 modules"],
        ["CLAP", "CLAP modules"],
    ];
    // What the VST 2 scan found to be no plug-in of any format the scanner
    // knows: a support DLL is of no format, which "VST2" would claim.
    const NO_FORMAT = "none";
    // A VST3 class that replaces a VST 2 plug-in names it by a UID of
    // "VST" in hexadecimal, then the VST 2 unique id's eight digits.
    const VST2_UID = /^565354([0-9a-f]{8})/i;
    const SLOWEST_SHOWN = 30;
    const NONE = "\u2014";

    const data = JSON.parse(document.getElementById("results").textContent);
    const run = data.run;
    const plugins = data.plugins;

    function make(tag, className, text) {
        const node = document.createElement(tag);
        if (className)
            node.className = className;
        if (text !== undefined)
            node.textContent = text;
        return node;
    }

    function statusClass(status) {
        return "st-" + status.replace(/ /g, "-");
    }

    function plural(count, word) {
        return count + " " + word + (count === 1 ? "" : "s");
    }

    function fileName(path) {
        return path.slice(Math.max(path.lastIndexOf("\\"), path.lastIndexOf("/")) + 1);
    }

    function milliseconds(ms) {
        return ms < 1000 ? ms + " ms" : (ms / 1000).toFixed(1) + " s";
    }

    function runTime(seconds) {
        if (seconds < 60)
            return seconds.toFixed(1) + " s";
        const whole = Math.round(seconds);
        const hours = Math.floor(whole / 3600);
        return (hours ? hours + " h " : "") + Math.floor(whole / 60) % 60 + " min " +
            whole % 60 + " s";
    }

    // Exception codes are known by their hexadecimal form: 0xC0000005.
    function exitCodeText(code) {
        if (code < 0x10000)
            return String(code);
        return code + " (0x" + code.toString(16).toUpperCase().padStart(8, "0") + ")";
    }

    function utcText(text) {
        return text ? text.replace("T", " ").replace(/Z$/, " UTC") : "at an unknown time";
    }

    function categoryText(category) {
        return CATEGORIES[category] || String(category);
    }

    function midiText(wants, sends) {
        const ways = [];
        if (wants)
            ways.push("in");
        if (sends)
            ways.push("out");
        return ways.length ? ways.join(", ") : NONE;
    }

    function known(value) {
        return value !== null && value !== undefined;
    }

    // Channels of the main buses; a class no instance was made of has none known.
    function channelsText(inputs, outputs) {
        if (!known(inputs) && !known(outputs))
            return NONE;
        return (known(inputs) ? inputs : "?") + " / " + (known(outputs) ? outputs : "?");
    }

    function formatOf(record, otherKind) {
        if (record.format && record.format !== "VST2")
            return record.format;
        return otherKind ? NO_FORMAT : "VST2";
    }

    // The same product in two formats is the same vendor and name, whatever
    // the letter case and the spaces around them.
    function productKey(vendor, name) {
        const shown = (name || "").trim().toLowerCase();
        return shown ? (vendor || "").trim().toLowerCase() + "\n" + shown : "";
    }

    // One term and its value in a <dl>; nothing for an empty value.
    function fact(list, term, value) {
        if (value === null || value === undefined || value === "")
            return;
        const description = make("dd");
        if (value instanceof Node)
            description.append(value);
        else
            description.textContent = value;
        list.append(make("dt", "", term), description);
    }

    // How a server died, as a record and an incident both tell it.
    function deathFacts(list, died) {
        if (died.exitCode !== null)
            fact(list, "Exit code", exitCodeText(died.exitCode));
        fact(list, "Dump", died.dump);
        if (died.fault)
            fact(list, "Fault", died.fault.text);
    }

    function listOf(tag, texts) {
        const list = make(tag);
        for (const text of texts)
            list.append(make("li", "", text));
        return list;
    }

    function countByStatus(entries) {
        const counts = {};
        for (const [status] of STATUSES)
            counts[status] = 0;
        for (const entry of entries)
            counts[entry.status] = (counts[entry.status] || 0) + 1;
        return counts;
    }

    // One row of the table: a plug-in file, a shell's sub-plug-in, or one
    // class of a VST3 or CLAP module of several. Its cells are worked out
    // here, once, from whichever record says them.
    function makeEntry(kind, record, status, format, platform, name, path, id) {
        return {
            kind: kind,
            // The record whose status and details the row shows: a class
            // shares its module's.
            record: record,
            status: status,
            format: format,
            platform: platform,
            name: name,
            path: path,
            id: id || "",
            vendor: record.vendor || "",
            version: "",
            category: NONE,
            channels: NONE,
            midi: NONE,
            audio64: NONE,
            product: "",
            replaces: [],
            replacedBy: [],
            others: [],
            search: "",
            row: null,
        };
    }

    function fillFromClass(entry, cls) {
        entry.vendor = cls.vendor || entry.vendor;
        entry.version = cls.version || "";
        entry.category = cls.category || NONE;
        entry.channels = channelsText(cls.inputs, cls.outputs);
        entry.midi = known(cls.midiIn) || known(cls.midiOut) ? midiText(cls.midiIn, cls.midiOut)
            : NONE;
        entry.cls = cls;
        entry.product = productKey(entry.vendor, cls.name);
    }

    function fillFromReport(entry, record) {
        // A report with an error says nothing true of the plug-in's abilities.
        const report = record.report && !record.report.error ? record.report : null;
        if (!report)
            return;
        entry.version = report.version || "";
        entry.category = categoryText(report.category);
        entry.channels = report.numInputs + " / " + report.numOutputs;
        entry.midi = midiText(report.wantsMidi, report.sendsMidi);
        entry.audio64 = report.audio64 ? "yes" : "no";
    }

    function withSearch(entry, extra) {
        entry.search = [entry.name, entry.vendor, entry.path, entry.format === NO_FORMAT ? ""
            : entry.format, entry.id].concat(extra || []).join("\n").toLowerCase();
        return entry;
    }

    function moduleName(path) {
        return fileName(path.replace(/[\\/]+$/, ""));
    }

    // A plug-in file's group: its own row and those folded under it, a
    // shell's sub-plug-ins or a module's classes when it has more than one.
    function groupOf(plugin) {
        const otherKind = plugin.status === "failed" && plugin.reason === "not a VST 2 plug-in";
        const status = otherKind ? NOT_VST2 : plugin.status;
        const format = formatOf(plugin, otherKind);
        const platform = plugin.platform || "";
        const classes = plugin.classes || [];
        const group = { main: null, subs: [], classes: [], body: null, foldLabel: null };
        if (format === "VST2" || otherKind) {
            const id = plugin.report && plugin.report.id ? plugin.report.id : "";
            const main = makeEntry("plugin", plugin, status, format, platform,
                plugin.name || fileName(plugin.path), plugin.path, id);
            fillFromReport(main, plugin);
            if (!otherKind && !(plugin.shells || []).length)
                main.product = productKey(plugin.vendor, plugin.name);
            group.main = withSearch(main);
            group.subs = (plugin.shells || []).map(function (shell) {
                const sub = makeEntry("sub", shell, shell.status, format, platform,
                    shell.name || shell.id, plugin.path + ">" + shell.id, shell.id);
                fillFromReport(sub, shell);
                sub.product = productKey(shell.vendor, shell.name);
                return withSearch(sub);
            });
            return group;
        }
        const main = makeEntry("plugin", plugin, status, format, platform,
            classes.length === 1 ? classes[0].name || plugin.name || moduleName(plugin.path)
                : classes.length ? moduleName(plugin.path) : plugin.name || moduleName(plugin.path),
            plugin.path, classes.length === 1 ? classes[0].id : "");
        if (classes.length === 1) {
            fillFromClass(main, classes[0]);
        } else {
            // A module's version is its classes' when they agree.
            const versions = new Set(classes.map(function (cls) { return cls.version || ""; }));
            main.version = versions.size === 1 ? versions.values().next().value : "";
        }
        group.main = withSearch(main);
        if (classes.length > 1) {
            group.classes = classes.map(function (cls) {
                const entry = makeEntry("class", plugin, status, format, platform,
                    cls.name || cls.id, plugin.path, cls.id);
                fillFromClass(entry, cls);
                return withSearch(entry);
            });
        }
        return group;
    }

    const groups = plugins.map(groupOf);
    const mains = groups.map(function (group) { return group.main; });
    const subs = groups.flatMap(function (group) { return group.subs; });
    const classRows = groups.flatMap(function (group) { return group.classes; });
    const everyEntry = mains.concat(subs, classRows);
    const mainCounts = countByStatus(mains);
    const subCounts = countByStatus(subs);
    const formats = FORMATS.map(function (format) { return format[0]; });
    for (const entry of mains) {
        if (!formats.includes(entry.format))
            formats.push(entry.format);
    }
    const formatCounts = {};
    for (const format of formats)
        formatCounts[format] = 0;
    for (const entry of mains)
        formatCounts[entry.format]++;

    // Ties between rows of different formats: the same product, and the
    // VST 2 plug-ins that a VST3 class says it replaces.
    function tieEntries() {
        const byProduct = new Map();
        const byVst2Id = new Map();
        for (const entry of everyEntry) {
            if (entry.product) {
                if (!byProduct.has(entry.product))
                    byProduct.set(entry.product, []);
                byProduct.get(entry.product).push(entry);
            }
            if (entry.format === "VST2" && entry.id) {
                const id = entry.id.toUpperCase();
                if (!byVst2Id.has(id))
                    byVst2Id.set(id, []);
                byVst2Id.get(id).push(entry);
            }
        }
        for (const same of byProduct.values()) {
            const present = new Set(same.map(function (entry) { return entry.format; }));
            if (present.size < 2)
                continue;
            for (const entry of same)
                entry.others = same;
        }
        for (const entry of everyEntry) {
            if (entry.format !== "VST3" || !entry.cls)
                continue;
            for (const uid of entry.cls.replaces || []) {
                const match = VST2_UID.exec(uid);
                for (const replaced of match ? byVst2Id.get(match[1].toUpperCase()) || [] : []) {
                    if (entry.replaces.includes(replaced))
                        continue;
                    entry.replaces.push(replaced);
                    replaced.replacedBy.push(entry);
                }
            }
        }
    }

    // "VST3, CLAP": the formats a product is in besides the entry's own.
    function otherFormats(entry) {
        const present = new Set(entry.others.map(function (other) { return other.format; }));
        present.delete(entry.format);
        return formats.filter(function (format) { return present.has(format); }).join(", ");
    }

    function namesOf(entries) {
        return Array.from(new Set(entries.map(function (entry) { return entry.name; }))).join(", ");
    }

    function showRun() {
        document.title = "Plug-in scan, " + utcText(run.started);
        document.getElementById("run").textContent = [
            "Started " + utcText(run.started),
            "took " + runTime(run.seconds),
            run.scanned + " scanned",
            run.fromCache + " unchanged from the results file",
            plural(run.skipped, "earlier failure") + " skipped",
        ].join(" \u00B7 ");
        document.getElementById("stopped").hidden = !run.stopped;
    }

    function showCounts() {
        const box = document.getElementById("counts");
        const total = make("div", "count");
        total.append(make("span", "number", String(plugins.length)),
            make("span", "word", plugins.length === 1 ? "plug-in" : "plug-ins"));
        if (subs.length)
            total.append(make("span", "subs", "and " + plural(subs.length, "sub-plug-in") +
                " of shells"));
        // Plug-in files by platform, x64 and x86 first.
        const platforms = {};
        for (const entry of mains)
            platforms[entry.platform || "unknown"] = (platforms[entry.platform || "unknown"] || 0) + 1;
        const order = Object.keys(platforms).sort(function (a, b) {
            const rank = function (p) { return p === "x64" ? 0 : p === "x86" ? 1 : 2; };
            return rank(a) - rank(b) || a.localeCompare(b);
        });
        const byPlatform = make("span", "subs platforms", order.map(function (p) {
            return platforms[p] + " " + p;
        }).join(" \u00B7 "));
        byPlatform.dataset.count = "platforms";
        const byFormat = make("span", "subs formats", formats.filter(function (format) {
            return formatCounts[format] && format !== NO_FORMAT;
        }).map(function (format) {
            return formatCounts[format] + " " + format;
        }).join(" \u00B7 "));
        byFormat.dataset.count = "formats";
        total.append(byPlatform, byFormat);
        box.append(total);
        for (const [status, meaning] of STATUSES) {
            const card = make("div", "count " + statusClass(status));
            card.dataset.status = status;
            card.title = meaning;
            const number = make("span", "number", String(mainCounts[status]));
            number.dataset.count = "plugins";
            card.append(number, make("span", "word", status));
            if (subs.length) {
                const line = make("span", "subs");
                const subNumber = make("span", "", String(subCounts[status]));
                subNumber.dataset.count = "subs";
                line.append(subNumber, " sub-plug-in" + (subCounts[status] === 1 ? "" : "s"));
                card.append(line);
            }
            box.append(card);
        }
    }

    function showIncidents() {
        if (!run.incidents.length)
            return;
        const section = document.getElementById("incidents");
        section.hidden = false;
        for (const incident of run.incidents) {
            const card = make("article", "incident");
            card.append(make("h3", "", incident.reason || "A scan server died"));
            const facts = make("dl", "facts");
            fact(facts, "During", incident.during);
            fact(facts, "Culprit", incident.culprit);
            deathFacts(facts, incident);
            if (incident.suspects.length) {
                const more = make("details");
                more.append(make("summary", "", plural(incident.suspects.length, "suspect") +
                    ", in the order that server scanned them"), listOf("ol", incident.suspects));
                fact(facts, "Suspects", more);
            }
            if (incident.tried.length)
                fact(facts, "Looked for by", listOf("ol", incident.tried));
            card.append(facts);
            section.append(card);
        }
    }

    function showLegend() {
        const legend = document.getElementById("legend");
        for (const [status, meaning] of STATUSES) {
            const item = make("div");
            const term = make("dt");
            term.append(make("span", "pill " + statusClass(status), status));
            item.append(term, make("dd", "", meaning));
            legend.append(item);
        }
    }

    function hasDetails(record) {
        return record.status !== "ok" || record.afterReport || record.dialogs.length > 0 ||
            record.output !== "" || record.log.length > 0;
    }

    function detailRow(entry) {
        const record = entry.record;
        const row = make("tr", "detail");
        row.hidden = true;
        const cell = make("td");
        cell.colSpan = 11;
        // The row's texts that the table cuts short, whole: filled as the
        // row opens, when the widths they had are known.
        entry.whole = make("dl", "facts whole");
        cell.append(entry.whole);
        const facts = make("dl", "facts");
        fact(facts, "Reason", record.error || (record.status === "ok" ? "" : "none given"));
        fact(facts, "Kind", record.reason);
        if (record.missing && record.missing.length)
            fact(facts, "Missing", listOf("ul", record.missing));
        // The format of a file the VST 2 scan found to be of another.
        fact(facts, "Format", record.format === "VST2" ? "" : record.format);
        deathFacts(facts, record);
        if (record.fault && record.fault.stack && record.fault.stack.length)
            fact(facts, "Stack", make("pre", "stack", record.fault.stack.join("\n")));
        if (record.afterReport)
            fact(facts, "When", "after its report went out");
        if (record.dialogs.length) {
            const box = make("div");
            for (const dialog of record.dialogs) {
                const item = make("div", "dialog");
                item.append(make("strong", "", dialog.title || "(no title)"));
                for (const text of dialog.texts)
                    item.append(make("p", "", text));
                item.append(make("p", "note", "Answered: " + dialog.answer));
                box.append(item);
            }
            fact(facts, record.dialogs.length === 1 ? "Window" : "Windows", box);
        }
        if (record.output)
            fact(facts, "Output", make("pre", "output", record.output));
        if (record.log.length)
            fact(facts, "Log", make("pre", "log", record.log.join("\n")));
        cell.append(facts);
        row.append(cell);
        return row;
    }

    function dataCell(text, className) {
        return make("td", text === NONE ? "none" : className || "", text);
    }

    // A text a plug-in wrote, which may be of any length: the table keeps it
    // on one line, cut with an ellipsis, and shows it whole in its title and,
    // when the row is opened, in its details under term.
    function mayBeCut(node, term) {
        node.classList.add("cut");
        node.dataset.term = term;
        if (node.textContent !== NONE)
            node.title = node.textContent;
        return node;
    }

    function showWhole(entry) {
        entry.whole.textContent = "";
        for (const node of entry.row.querySelectorAll(".cut")) {
            if (node.scrollWidth > node.clientWidth)
                fact(entry.whole, node.dataset.term, node.textContent);
        }
    }

    // A focus on the rows a tie names: the product in each of its formats, or
    // a VST3 class and the VST 2 plug-ins it replaces. It narrows what the
    // other filters let through, as they narrow it.
    let focus = null;

    function setFocus(entries, text) {
        focus = entries ? { entries: new Set(entries), text: text } : null;
        const chip = document.getElementById("focus");
        chip.hidden = !focus;
        document.getElementById("focus-text").textContent = focus ? focus.text : "";
        // A class or sub-plug-in it names shows unfolded under its module.
        for (const entry of entries || []) {
            if (entry.kind !== "plugin")
                entry.group.fold.setAttribute("aria-expanded", String(entry.group.body.classList
                    .toggle("open", true)));
        }
        applyFilters();
    }

    function addTie(line, kind, text, entries, focusText) {
        const tie = make("button", "tie", text);
        tie.type = "button";
        tie.dataset.tie = kind;
        tie.title = "Show only these: " + entries.map(function (entry) {
            return entry.format + " " + entry.name + " (" + entry.path + ")";
        }).join("; ");
        tie.addEventListener("click", function () { setFocus(entries, focusText); });
        line.append(tie);
    }

    function tiesOf(entry) {
        const line = make("div", "ties");
        if (entry.others.length) {
            addTie(line, "also", "also as " + otherFormats(entry), entry.others,
                "Only " + entry.name + " in " + formats.filter(function (format) {
                    return entry.others.some(function (other) { return other.format === format; });
                }).join(", "));
        }
        if (entry.replaces.length) {
            addTie(line, "replaces", "replaces VST 2 " + namesOf(entry.replaces),
                [entry].concat(entry.replaces),
                "Only " + entry.name + " and the VST 2 plug-ins it replaces");
        }
        if (entry.replacedBy.length) {
            addTie(line, "replaced-by", "replaced by VST3 " + namesOf(entry.replacedBy),
                [entry].concat(entry.replacedBy),
                "Only " + entry.name + " and the VST3 plug-ins that replace it");
        }
        if (!line.firstChild)
            return null;
        line.title = line.textContent;
        return line;
    }

    // The rows of one entry: its own, and the row of its details if it has any.
    function rowsOf(entry) {
        const record = entry.record;
        const kind = entry.kind;
        const row = make("tr", "row " + (kind === "plugin" ? "plugin" : "sub"));
        row.dataset.kind = kind;
        row.dataset.status = entry.status;
        row.dataset.format = entry.format;
        entry.row = row;

        const statusCell = make("td", "status");
        const rows = [row];
        // A class's status is its module's, whose row unfolds to the details.
        if (kind !== "class" && hasDetails(record)) {
            const detail = detailRow(entry);
            if (kind === "sub")
                detail.classList.add("sub");
            const pill = make("button", "pill " + statusClass(entry.status), entry.status);
            pill.type = "button";
            pill.title = "Show the details";
            pill.setAttribute("aria-expanded", "false");
            pill.addEventListener("click", function () {
                if (detail.hidden)
                    showWhole(entry);
                detail.hidden = !detail.hidden;
                pill.setAttribute("aria-expanded", String(!detail.hidden));
            });
            statusCell.append(pill);
            rows.push(detail);
        } else {
            statusCell.append(make("span", "pill " + statusClass(entry.status), entry.status));
        }

        const label = make("td", "label");
        label.append(mayBeCut(make("div", "name", entry.name), "Name"),
            mayBeCut(make("div", "path", kind === "plugin" ? entry.path : "id " + entry.id),
                kind === "plugin" ? "File" : "Id"));
        const ties = tiesOf(entry);
        if (ties)
            label.append(ties);
        const format = dataCell(entry.format === NO_FORMAT ? NONE : entry.format, "format");
        if (entry.format === NO_FORMAT)
            format.title = "no plug-in of a format the scanner knows";
        row.append(statusCell, label, mayBeCut(dataCell(entry.vendor || NONE), "Vendor"),
            mayBeCut(dataCell(entry.version || NONE), "Version"),
            mayBeCut(dataCell(entry.category), "Category"),
            dataCell(entry.channels, "num"),
            dataCell(entry.midi),
            dataCell(entry.audio64),
            format,
            dataCell(entry.platform || NONE),
            dataCell(kind === "class" ? NONE : milliseconds(record.durationMs), "num"));
        return rows;
    }

    function buildGroup(group) {
        const body = make("tbody", "group");
        group.body = body;
        group.main.group = group;
        body.append.apply(body, rowsOf(group.main));
        group.folded = group.subs.length ? group.subs : group.classes;
        group.foldNoun = group.subs.length ? "sub-plug-in" : "plug-in";
        if (group.folded.length) {
            const fold = make("button", "fold");
            fold.type = "button";
            fold.setAttribute("aria-expanded", "false");
            group.fold = fold;
            group.foldLabel = make("span", "", plural(group.folded.length, group.foldNoun));
            fold.append(group.foldLabel);
            fold.addEventListener("click", function () {
                const open = body.classList.toggle("open");
                fold.setAttribute("aria-expanded", String(open));
            });
            group.main.row.cells[1].append(fold);
            for (const entry of group.folded) {
                entry.group = group;
                body.append.apply(body, rowsOf(entry));
            }
        }
        return body;
    }

    function buildTable() {
        tieEntries();
        const all = document.createDocumentFragment();
        for (const group of groups)
            all.append(buildGroup(group));
        document.querySelector("table").append(all);
    }

    // What the filters and the search let through; the rows are built once
    // and only hidden or shown, which keeps thousands of them quick.
    const hiddenStatuses = new Set();
    const hiddenFormats = new Set();
    let words = [];

    function matches(entry) {
        return !hiddenStatuses.has(entry.status) && !hiddenFormats.has(entry.format) &&
            (!focus || focus.entries.has(entry)) &&
            words.every(function (word) { return entry.search.includes(word); });
    }

    function applyFilters() {
        const from = performance.now();
        let shown = 0;
        let subsShown = 0;
        let classesShown = 0;
        for (const group of groups) {
            let foldedMatching = 0;
            for (const entry of group.folded) {
                const match = matches(entry);
                if (entry.row.hidden === match)
                    entry.row.hidden = !match;
                if (match)
                    foldedMatching++;
            }
            const own = matches(group.main);
            const visible = own || foldedMatching > 0;
            if (group.body.hidden === visible)
                group.body.hidden = !visible;
            // A shell or module shown only for what it holds stays as their heading.
            group.main.row.classList.toggle("context", !own);
            if (group.foldLabel) {
                const all = plural(group.folded.length, group.foldNoun);
                group.foldLabel.textContent = foldedMatching === group.folded.length ? all
                    : foldedMatching + " of " + all;
            }
            if (visible) {
                shown++;
                if (group.subs.length)
                    subsShown += foldedMatching;
                else
                    classesShown += foldedMatching;
            }
        }
        let text = shown + " of " + plural(groups.length, "plug-in") + " shown";
        if (subs.length)
            text += ", " + subsShown + " of " + plural(subs.length, "sub-plug-in");
        if (classRows.length)
            text += ", " + classesShown + " of " + classRows.length + " in modules";
        document.getElementById("shown").textContent = text;
        document.documentElement.dataset.filterMs = String(Math.round(performance.now() - from));
    }

    const filterButtons = new Map();
    const formatButtons = new Map();

    function toggleButton(className, label, count, meaning, hidden) {
        const button = make("button", "filter " + className);
        button.type = "button";
        button.title = "Show or hide: " + meaning;
        button.setAttribute("aria-pressed", "true");
        button.append(make("span", "", label), make("span", "n", String(count)));
        button.addEventListener("click", function () {
            const key = button.dataset.key;
            const show = hidden.has(key);
            if (show)
                hidden.delete(key);
            else
                hidden.add(key);
            button.setAttribute("aria-pressed", String(show));
            applyFilters();
        });
        return button;
    }

    function buildFilters() {
        const box = document.getElementById("filters");
        for (const [status, meaning] of STATUSES) {
            const button = toggleButton(statusClass(status), status, mainCounts[status], meaning,
                hiddenStatuses);
            button.dataset.key = button.dataset.status = status;
            if (subCounts[status])
                button.append(make("span", "n-subs", "+" + subCounts[status]));
            filterButtons.set(status, button);
            box.append(button);
        }
        const formatBox = document.getElementById("formats");
        for (const format of formats) {
            const standard = FORMATS.find(function (known) { return known[0] === format; });
            // Formats beyond the three are listed only when a file has one.
            if (!standard && !formatCounts[format])
                continue;
            const meaning = standard ? standard[1] : format === NO_FORMAT
                ? "files of no plug-in format the scanner knows" : format + " files";
            const button = toggleButton("fmt", format === NO_FORMAT ? "no format" : format,
                formatCounts[format], meaning, hiddenFormats);
            button.dataset.key = button.dataset.format = format;
            formatButtons.set(format, button);
            formatBox.append(button);
        }
        const search = document.getElementById("search");
        search.addEventListener("input", function () {
            words = search.value.toLowerCase().split(/\s+/).filter(Boolean);
            applyFilters();
        });
        document.getElementById("focus-clear").addEventListener("click", function () {
            setFocus(null, "");
        });
    }

    function buildChart() {
        const all = mains.concat(subs);
        const slowest = all.slice().sort(function (a, b) {
            return b.record.durationMs - a.record.durationMs;
        }).slice(0, SLOWEST_SHOWN);
        document.getElementById("chart-note").textContent = slowest.length
            ? "The " + plural(slowest.length, "slowest scan") + " of " + all.length +
              ", plug-ins and sub-plug-ins alike, slowest first."
            : "Nothing was scanned.";
        const longest = slowest.length ? Math.max(slowest[0].record.durationMs, 1) : 1;
        const chart = document.getElementById("chart");
        for (const entry of slowest) {
            const ms = entry.record.durationMs;
            const timedOut = entry.status === "timed out";
            const row = make("div", "bar-row");
            row.dataset.status = entry.status;
            const label = make("div", "bar-label", entry.name);
            label.title = entry.path;
            const track = make("div", "bar-track");
            const bar = make("div", "bar" + (timedOut ? " " + statusClass(entry.status) : ""));
            bar.style.width = (100 * ms / longest).toFixed(2) + "%";
            track.append(bar);
            const time = make("div", "bar-time", milliseconds(ms));
            if (timedOut)
                time.append(make("span", "pill " + statusClass(entry.status), "timed out"));
            row.append(label, track, time);
            chart.append(row);
        }
    }

    // The browser test drives the page through its own controls, named in
    // the address's fragment: #test-search=WORDS&test-toggle=STATUS,...&
    // test-format=FORMAT,...&test-tie=N (the Nth tie on the page)&test-open=all;
    // test-heights puts each row's height, in pixels, on the row.
    function applyTestFragment() {
        const asked = new URLSearchParams(location.hash.slice(1));
        if (asked.has("test-search")) {
            const search = document.getElementById("search");
            search.value = asked.get("test-search");
            search.dispatchEvent(new Event("input"));
        }
        for (const status of (asked.get("test-toggle") || "").split(",")) {
            if (filterButtons.has(status))
                filterButtons.get(status).click();
        }
        for (const format of (asked.get("test-format") || "").split(",")) {
            if (formatButtons.has(format))
                formatButtons.get(format).click();
        }
        if (asked.has("test-tie"))
            document.querySelectorAll("button.tie")[Number(asked.get("test-tie"))].click();
        if (asked.get("test-open") === "all") {
            for (const button of document.querySelectorAll("button[aria-expanded=false]"))
                button.click();
        }
        if (asked.has("test-heights")) {
            for (const row of document.querySelectorAll("tr.row"))
                row.dataset.height = String(Math.round(row.getBoundingClientRect().height));
        }
    }

    showRun();
    showCounts();
    showIncidents();
    showLegend();
    buildFilters();
    buildTable();
    buildChart();
    applyFilters();
    // How long building took, and filtering (above), ride on the root
    // element for the browser test, which bounds them.
    document.documentElement.dataset.buildMs = String(Math.round(performance.now() - started));
    applyTestFragment();
})();
