"""Bone files in Blender: File > Import/Export > Bone file (.bone).

Import builds an armature whose rest pose is the clip's pose at time 0 with
an action of the clip's keys, or keys the clip onto the selected armature;
with a skin file, each skin becomes a mesh under an Armature modifier. Export
bakes the armature's evaluated pose over its action's range into a bone file,
reduced within an error bound, and its meshes into a skin file. Reading,
reducing and writing go through the bone_import package. docs/blender.md.
"""
bl_info = {
    "name": "Bone files (.bone, .skin)",
    "author": "bone_import",
    "version": (0, 2, 0),
    "blender": (3, 4, 0),
    "location": "File > Import-Export",
    "description": "Import and export skeletal animation as bone files, and skins as skin files",
    "category": "Import-Export",
}

import os

import bpy
from bpy.props import BoolProperty, CollectionProperty, EnumProperty, FloatProperty, StringProperty
from bpy_extras.io_utils import ExportHelper, ImportHelper

from . import clip, exporter, importer


def scale_property(description: str):
    return FloatProperty(name="Scale", description=description, default=1.0, min=1e-6, max=1e6, soft_min=1e-3,
                         soft_max=1e3)


class IMPORT_SCENE_OT_bone_file(bpy.types.Operator, ImportHelper):
    """Import a bone file (with the skins of a skin file) as an armature with an action"""

    bl_idname = "import_scene.bone_file"
    bl_label = "Import Bone File"
    bl_options = {"REGISTER", "UNDO"}
    filename_ext = ".bone"
    filter_glob: StringProperty(default="*.bone;*.skin", options={"HIDDEN"})
    files: CollectionProperty(type=bpy.types.OperatorFileListElement, options={"HIDDEN", "SKIP_SAVE"})
    directory: StringProperty(subtype="DIR_PATH", options={"HIDDEN", "SKIP_SAVE"})
    skin_filepath: StringProperty(name="Skin file", subtype="FILE_PATH", default="",
                                  description="A skin file whose skins to import with the clip (or select it "
                                              "together with the bone file)")
    skin_names: StringProperty(name="Skins", default="",
                               description="The skins to import, separated by commas (empty: every skin of the file)")
    onto_selected: BoolProperty(name="Onto selected armature", default=False,
                                description="Key the clip onto the selected armature, matching bone names with "
                                            "letter case ignored, instead of making a new one")
    scale: scale_property("Scene units per file unit")
    axis: EnumProperty(name="Axis", items=clip.AXIS_ITEMS, default="Y_UP")
    keep_scene_timing: BoolProperty(name="Keep scene timing", default=False,
                                    description="Keep the scene's frame rate and range (the clip starts at the "
                                                "scene's first frame) instead of taking the clip's")

    def execute(self, context):
        paths = [os.path.join(self.directory, f.name) for f in self.files if f.name] or [self.filepath]
        bones = [p for p in paths if not p.lower().endswith(".skin")]
        skins = [p for p in paths if p.lower().endswith(".skin")]
        if len(bones) != 1 or len(skins) > 1 or (skins and self.skin_filepath):
            self.report({"ERROR"}, "choose one bone file, and at most one skin file")
            return {"CANCELLED"}
        rig = None
        if self.onto_selected:
            rig = context.view_layer.objects.active
            if rig is None or rig.type != "ARMATURE" or not rig.select_get():
                self.report({"ERROR"}, "select the armature to key the clip onto")
                return {"CANCELLED"}
        names = tuple(n.strip() for n in self.skin_names.split(",") if n.strip())
        options = importer.Options(self.scale, self.axis, self.keep_scene_timing)
        try:
            skin_path = bpy.path.abspath(self.skin_filepath) if self.skin_filepath else (skins[0] if skins else "")
            read = clip.read_clip(bones[0], skin_path, names)
            rig, notes = importer.import_clip(context, read, options, rig)
        except clip.READ_ERRORS as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        for note in notes:
            self.report({"WARNING"}, f"{os.path.basename(bones[0])}: {note}")
        return {"FINISHED"}


class EXPORT_SCENE_OT_bone_file(bpy.types.Operator, ExportHelper):
    """Export the armature's pose over its action's range as a bone file (and its meshes as a skin file)"""

    bl_idname = "export_scene.bone_file"
    bl_label = "Export Bone File"
    filename_ext = ".bone"
    filter_glob: StringProperty(default="*.bone", options={"HIDDEN"})
    with_skins: BoolProperty(name="Skins", default=False,
                             description="Also write the meshes the armature deforms as a skin file beside the "
                                         "bone file, of its name with .skin")
    skin_filepath: StringProperty(name="Skin file", subtype="FILE_PATH", default="",
                                  description="Write the meshes the armature deforms as a skin file here")
    max_error: FloatProperty(name="Max error", subtype="DISTANCE", default=1e-4, min=0.0, soft_max=0.1,
                             precision=5, description="How far any point of the skeleton may move from Blender's "
                                                      "pose at any frame (0: keep every baked frame)")
    frame_range: EnumProperty(name="Range", default="ACTION", items=(
        ("ACTION", "Action", "The active action's frame range (its manual range where set), or the scene's "
                             "when there is no action"),
        ("SCENE", "Scene", "The scene's frame range")))
    scale: scale_property("Scene units per file unit (positions are divided by it)")
    axis: EnumProperty(name="Axis", items=clip.AXIS_ITEMS, default="Y_UP")

    def execute(self, context):
        skin_path = self.skin_filepath or (os.path.splitext(self.filepath)[0] + ".skin" if self.with_skins else "")
        options = exporter.Options(self.max_error, self.frame_range, self.scale, self.axis)
        try:
            written = exporter.export_clip(context, self.filepath, bpy.path.abspath(skin_path), options)
        except clip.READ_ERRORS as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        self.report({"INFO"}, f"wrote {written}")
        return {"FINISHED"}


def menu_import(self, context):
    self.layout.operator(IMPORT_SCENE_OT_bone_file.bl_idname, text="Bone file (.bone)")


def menu_export(self, context):
    self.layout.operator(EXPORT_SCENE_OT_bone_file.bl_idname, text="Bone file (.bone)")


CLASSES = (IMPORT_SCENE_OT_bone_file, EXPORT_SCENE_OT_bone_file)


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_import.append(menu_import)
    bpy.types.TOPBAR_MT_file_export.append(menu_export)


def unregister():
    bpy.types.TOPBAR_MT_file_export.remove(menu_export)
    bpy.types.TOPBAR_MT_file_import.remove(menu_import)
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
