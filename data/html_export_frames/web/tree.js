// Navigation tree of a frames export. tree_data.js creates one dTree,
// adds every exported note with d.add(id, parentId, title, url) (parents
// before their children, parentId -1 at the top), prints it with
// document.write(d) and marks the first entry with document.s(id).
// Titles arrive HTML-escaped.

function dTree(name) {
  this.name = name;
  this.entries = [];
  this.children = {};
}

dTree.prototype.add = function (id, parentId, title, url) {
  this.entries.push({ id: id, title: title, url: url });
  var key = String(parentId);
  if (!this.children[key]) this.children[key] = [];
  this.children[key].push(this.entries[this.entries.length - 1]);
};

dTree.prototype.list = function (parentId) {
  var kids = this.children[String(parentId)];
  if (!kids) return '';
  var html = '<ul>';
  for (var i = 0; i < kids.length; i++) {
    var e = kids[i];
    html += '<li><a id="' + this.name + '_' + e.id + '" href="' + e.url + '" target="main"' +
            ' onclick="document.s(' + e.id + ')">' + e.title + '</a>' + this.list(e.id) + '</li>';
  }
  return html + '</ul>';
};

dTree.prototype.toString = function () {
  return this.list(-1);
};

// Marks the entry with this id as the one shown in the main frame.
document.s = function (id) {
  var links = document.getElementsByTagName('a');
  for (var i = 0; i < links.length; i++) links[i].className = '';
  var link = document.getElementById('d_' + id);
  if (link) link.className = 'current';
};
